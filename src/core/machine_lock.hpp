#pragma once
// The machine-wide lock that keeps a second core from running anywhere on
// the machine, whoever runs it.
//
// Windows: the named mutex "Global\Velmor.Core.Active.v1"; an abandoned mutex
// (its owner died) counts as acquired. Elsewhere: an exclusive lock on a file
// in the temporary folder named after the lock, which a dead process's lock
// never blocks. Either way ownership belongs to the acquiring thread's
// claim: a second thread of the same process is refused.

#include <optional>
#include <string_view>

namespace velmor {

inline constexpr std::string_view MACHINE_LOCK_NAME = "Global\\Velmor.Core.Active.v1";

// An owned machine lock, released on destruction. Release it on the thread
// that acquired it (system mutex ownership is per thread).
class MachineLock {
public:
    MachineLock(MachineLock&& other) noexcept;
    MachineLock& operator=(MachineLock&&) = delete;
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;
    ~MachineLock();

private:
    friend std::optional<MachineLock> acquire_machine_lock(std::string_view name);
    explicit MachineLock(long long handle) : handle_(handle) {}
    long long handle_;  // mutex handle or file descriptor; -1 when moved from
};

// Tries the lock once without waiting. None when another thread or process
// holds it, or when the lock cannot be made; nothing is logged.
std::optional<MachineLock> acquire_machine_lock(std::string_view name = MACHINE_LOCK_NAME);

}  // namespace velmor
