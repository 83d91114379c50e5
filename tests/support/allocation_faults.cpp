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

bool on_armed_thread() {
    const std::uint32_t self = GetCurrentThreadId();
    for (const auto& id : g_threads)
        if (id.load() == self) return true;
    return false;
}

bool take_failure(std::size_t bytes) {
    if (g_left.load() == 0 || bytes != g_size.load() || !on_armed_thread()) return false;
    int left = g_left.load();
    while (left > 0) {
        if (g_left.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
}

}  // namespace

std::vector<std::uint32_t> process_threads() {
    std::vector<std::uint32_t> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
    CloseHandle(snapshot);
    return ids;
}

std::vector<std::uint32_t> started_between(const std::vector<std::uint32_t>& before,
                                           const std::vector<std::uint32_t>& now) {
    std::vector<std::uint32_t> started;
    for (const std::uint32_t id : now)
        if (std::find(before.begin(), before.end(), id) == before.end()) started.push_back(id);
    return started;
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
