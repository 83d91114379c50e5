#include "support/allocation_faults.hpp"

#include "base/win.hpp"
// After <windows.h>:
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

namespace velmor::allocation_faults {
namespace {

constexpr std::size_t MAX_THREADS = 64;
// Written while nothing is armed; operator new reads them without allocating.
std::array<std::atomic<std::uint32_t>, MAX_THREADS> g_threads{};
std::atomic<std::size_t> g_size{0};
std::atomic<int> g_left{0};

bool take_failure(std::size_t bytes) {
    int left = g_left.load();
    if (left == 0 || bytes != g_size.load() ||
        std::ranges::none_of(g_threads, [](const auto& id) { return id.load() == GetCurrentThreadId(); }))
        return false;
    while (left > 0) {
        if (g_left.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
}

}  // namespace

std::vector<std::uint32_t> process_threads() {
    std::vector<std::uint32_t> ids;
    const unique_handle snapshot = adopt_file_handle(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return ids;
    THREADENTRY32 entry{sizeof(THREADENTRY32), 0, 0, 0, 0, 0, 0};
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
    return ids;
}

void fail_next(std::size_t bytes, const std::vector<std::uint32_t>& threads, int count) {
    g_left.store(0);
    for (std::size_t i = 0; i < MAX_THREADS; ++i) g_threads[i].store(i < threads.size() ? threads[i] : 0);
    g_size.store(bytes);
    g_left.store(threads.empty() || threads.size() > MAX_THREADS ? 0 : count);
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
