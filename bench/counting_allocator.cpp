#include "counting_allocator.hpp"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

// glibc's own entry points, which the definitions below forward to.
extern "C" {
void* __libc_malloc(std::size_t);
void __libc_free(void*);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void* __libc_valloc(std::size_t);
void* __libc_pvalloc(std::size_t);
}

namespace {

std::atomic<bool> g_counting{false};
std::atomic<std::int64_t> g_in_use{0};
std::atomic<std::int64_t> g_peak{0};

std::int64_t usable(void* p) { return static_cast<std::int64_t>(malloc_usable_size(p)); }

void* added(void* p) {
    if (p == nullptr || !g_counting.load(std::memory_order_relaxed)) return p;
    const std::int64_t now = g_in_use.fetch_add(usable(p), std::memory_order_relaxed) + usable(p);
    std::int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return p;
}

void removed(void* p) {
    if (p != nullptr && g_counting.load(std::memory_order_relaxed))
        g_in_use.fetch_sub(usable(p), std::memory_order_relaxed);
}

}  // namespace

namespace velmor::bench {

void count_heap(bool on) {
    g_counting.store(false);
    g_in_use.store(0);
    g_peak.store(0);
    g_counting.store(on);
}

std::int64_t heap_in_use() { return g_in_use.load(std::memory_order_relaxed); }
std::int64_t heap_peak() { return g_peak.load(std::memory_order_relaxed); }

}  // namespace velmor::bench

extern "C" {

void* malloc(std::size_t n) { return added(__libc_malloc(n)); }

void free(void* p) {
    removed(p);
    __libc_free(p);
}

void* calloc(std::size_t count, std::size_t n) { return added(__libc_calloc(count, n)); }

void* realloc(void* p, std::size_t n) {
    if (p == nullptr) return malloc(n);
    if (n == 0) {
        free(p);
        return nullptr;
    }
    if (!g_counting.load(std::memory_order_relaxed)) return __libc_realloc(p, n);
    const std::int64_t before = usable(p);
    void* q = __libc_realloc(p, n);
    if (q == nullptr) return nullptr;  // the old block stays as it was
    if (q == p) {
        // Grown or shrunk in place.
        g_in_use.fetch_sub(before, std::memory_order_relaxed);
        return added(q);
    }
    // Moved: counted as a new block that existed beside the old one until the
    // copy was done, as with malloc, memcpy and free.
    added(q);
    g_in_use.fetch_sub(before, std::memory_order_relaxed);
    return q;
}

void* memalign(std::size_t alignment, std::size_t n) { return added(__libc_memalign(alignment, n)); }
void* aligned_alloc(std::size_t alignment, std::size_t n) { return added(__libc_memalign(alignment, n)); }
void* valloc(std::size_t n) { return added(__libc_valloc(n)); }
void* pvalloc(std::size_t n) { return added(__libc_pvalloc(n)); }

int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = added(p);
    return 0;
}

}  // extern "C"
