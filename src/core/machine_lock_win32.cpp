#include "base/os_error.hpp"
#include "base/win.hpp"
// After <windows.h>:
#include <aclapi.h>

#include "core/machine_lock.hpp"
#include "trust/file_trust_win32.hpp"

namespace velmor {
namespace {

// The account that owns `mutex`: its creator's user (or Administrators for an
// elevated administrator), as its descriptor tells. The handle that
// CreateMutexW opened on an existing mutex carries READ_CONTROL.
Result<std::string> owner_of(HANDLE mutex) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code = GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                       nullptr, &descriptor);
    if (code != ERROR_SUCCESS) return fail(call_error("GetSecurityInfo", code));
    const unique_hlocal owned(descriptor);
    Result<trust::Permissions> permissions = trust::permissions_of(descriptor);
    if (!permissions) return fail(std::move(permissions.error()));
    if (!permissions->owner) return fail("the descriptor names no owner");
    return permissions->owner->name;
}

// Who made a mutex that refused us, as far as its DACL lets us read its
// owner (READ_CONTROL alone, which its creator may not have granted).
Result<std::string> owner_of_named(const std::wstring& name) {
    const unique_handle mutex(OpenMutexW(READ_CONTROL, FALSE, name.c_str()));
    if (!mutex) return fail(last_call_error("OpenMutexW"));
    return owner_of(mutex.get());
}

// CreateMutexW's documented failures on a name someone else made: an
// existing mutex is opened with MUTEX_ALL_ACCESS, which its DACL may refuse
// (ERROR_ACCESS_DENIED); an event, semaphore, timer, job or section of that
// name gives ERROR_INVALID_HANDLE.
LockOpenFailure failure_of(DWORD code) {
    if (code == ERROR_ACCESS_DENIED) return LockOpenFailure::Refused;
    if (code == ERROR_INVALID_HANDLE) return LockOpenFailure::OtherKind;
    return LockOpenFailure::Other;
}

}  // namespace

MachineLock::~MachineLock() {
    if (handle_) ReleaseMutex(handle_of(handle_));
}

Result<MachineLock> acquire_machine_lock(std::string_view name) {
    const std::wstring wide = widen(name);
    // A mutex that someone made first with a descriptor that keeps us out
    // cannot be opened at all: refused as well.
    unique_handle mutex(CreateMutexW(nullptr, FALSE, wide.c_str()));
    if (!mutex) {
        const DWORD code = GetLastError();
        const LockOpenFailure why = failure_of(code);
        return fail(machine_lock_unopenable(why, call_error("CreateMutexW", code),
                                            why == LockOpenFailure::Refused ? owner_of_named(wide)
                                                                            : fail("not asked")));
    }
    // A test that does not wait. Another thread of this process that owns
    // the mutex gives WAIT_TIMEOUT like another process; an owner that ended
    // without releasing leaves it abandoned, which is ours now.
    const DWORD result = WaitForSingleObject(mutex.get(), 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
        return MachineLock(native_handle_of(mutex.release()));
    if (result == WAIT_FAILED)
        return fail(Error(std::string(MACHINE_LOCK_BUSY_ERROR), last_call_error("WaitForSingleObject")));
    return fail(machine_lock_refusal(owner_of(mutex.get())));
}

}  // namespace velmor
