#include "core/machine_lock.hpp"

namespace velmor {

Error machine_lock_refusal(Result<std::string> owner) {
    Error cause = owner ? Error("created by " + *owner)
                        : std::move(owner.error()).context("its owner could not be read");
    return Error(std::string(MACHINE_LOCK_BUSY_ERROR), std::move(cause));
}

Error machine_lock_unopenable(LockOpenFailure why, const Error& call, Result<std::string> owner) {
    switch (why) {
    case LockOpenFailure::Refused: {
        // Who made it is what an administrator needs; the refused call says
        // only that the lock is not ours to take.
        Error refused = machine_lock_refusal(std::move(owner));
        return Error(std::string(MACHINE_LOCK_BUSY_ERROR),
                     Error("a program created it with a DACL that refuses the service (" + call.message() + ")",
                           *refused.cause()));
    }
    case LockOpenFailure::OtherKind:
        return Error(std::string(MACHINE_LOCK_BUSY_ERROR),
                     Error("a program holds its name as another kind of object (" + call.message() + ")"));
    case LockOpenFailure::Other:
        break;
    }
    return Error(std::string(MACHINE_LOCK_BUSY_ERROR), call);
}

}  // namespace velmor
