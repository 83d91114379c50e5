#include "support/allocation_faults.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace velmor::allocation_faults {
namespace {

std::atomic<std::size_t> g_size{0};
std::atomic<int> g_left{0};

bool take_failure(std::size_t bytes) {
    if (bytes != g_size.load(std::memory_order_relaxed)) return false;
    int left = g_left.load();
    while (left > 0) {
        if (g_left.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
}

}  // namespace

void fail_next(std::size_t bytes, int count) {
    g_size.store(bytes);
    g_left.store(count);
}

int pending() { return g_left.load(); }

}  // namespace velmor::allocation_faults

void* operator new(std::size_t bytes) {
    if (velmor::allocation_faults::take_failure(bytes)) throw std::bad_alloc();
    if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
