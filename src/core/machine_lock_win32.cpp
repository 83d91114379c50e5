#include "base/win.hpp"
#include "core/machine_lock.hpp"

namespace velmor {

MachineLock::MachineLock(MachineLock&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

MachineLock::~MachineLock() {
    if (handle_ < 0) return;
    HANDLE mutex = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle_));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

std::optional<MachineLock> acquire_machine_lock(std::string_view name) {
    const std::wstring wide = widen(name);
    unique_handle mutex(CreateMutexW(nullptr, FALSE, wide.c_str()));
    if (!mutex) return std::nullopt;
    // A test that does not wait. Another thread of this process that owns
    // the mutex gives WAIT_TIMEOUT like another process; an owner that ended
    // without releasing leaves it abandoned, which is ours now.
    const DWORD result = WaitForSingleObject(mutex.get(), 0);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return std::nullopt;
    return MachineLock(static_cast<long long>(reinterpret_cast<INT_PTR>(mutex.release())));
}

}  // namespace velmor
