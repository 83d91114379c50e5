#pragma once
// The machine-wide lock that keeps a second core from running anywhere on
// the machine, whoever runs it.
//
// Windows: the named mutex "Global\Velmor.Core.Active.v1"; an abandoned mutex
// (its owner died) counts as acquired. Elsewhere: an exclusive lock on a file
// in the temporary folder named after the lock, which a dead process's lock
// never blocks. Either way ownership belongs to the acquiring thread's
// claim: a second thread of the same process is refused.

#include <cstdint>
#include <string_view>

#include "base/error.hpp"
#include "base/native_handle.hpp"

namespace velmor {

inline constexpr std::string_view MACHINE_LOCK_NAME = "Global\\Velmor.Core.Active.v1";
inline constexpr std::string_view MACHINE_LOCK_BUSY_ERROR = "another Velmor core is already active on this machine";

// An owned machine lock, released on destruction. Release it on the thread
// that acquired it (system mutex ownership is per thread).
class MachineLock {
public:
    MachineLock(MachineLock&& other) noexcept = default;
    MachineLock& operator=(MachineLock&&) = delete;
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;
    // Gives up ownership (Windows: ReleaseMutex; a lock file's lock goes
    // with its descriptor); the handle's owner then closes it.
    ~MachineLock();

private:
    friend Result<MachineLock> acquire_machine_lock(std::string_view name);
    explicit MachineLock(NativeHandle handle) : handle_(std::move(handle)) {}
    NativeHandle handle_;  // the mutex or the lock file's descriptor
};

// Tries the lock once without waiting. Error when another thread or process
// holds it, or when the lock cannot be made or tested:
// MACHINE_LOCK_BUSY_ERROR, with as cause who created the lock, as far as the
// system tells ("created by {account}", the owner of the mutex or of the
// lock file), or "its owner could not be read" (cause: the failed call); a
// lock made first by someone else so that we cannot open it at all as
// machine_lock_unopenable says; otherwise the call that failed. Nothing is
// logged.
Result<MachineLock> acquire_machine_lock(std::string_view name = MACHINE_LOCK_NAME);

// The refusal for a lock held by someone else: MACHINE_LOCK_BUSY_ERROR with
// "created by {owner}", or with "its owner could not be read" and the reason.
Error machine_lock_refusal(Result<std::string> owner);

// Why the lock's name could not be opened at all.
enum class LockOpenFailure : std::uint8_t {
    Refused,    // it exists and its DACL (POSIX: the lock file's mode) refuses us
    OtherKind,  // the name belongs to another kind of object
    Other,      // anything else: the system could not make it
};

// The refusal for a lock whose name `call` could not open: for Refused,
// MACHINE_LOCK_BUSY_ERROR, then "a program created it with a DACL that
// refuses the service ({call})", then who created it as machine_lock_refusal
// says; for OtherKind "a program holds its name as another kind of object
// ({call})"; otherwise the failed call alone. The core record keeps
// MACHINE_LOCK_BUSY_ERROR either way.
Error machine_lock_unopenable(LockOpenFailure why, const Error& call, Result<std::string> owner);

}  // namespace velmor
