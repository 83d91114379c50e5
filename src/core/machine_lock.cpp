#include "core/machine_lock.hpp"

namespace velmor {

Error machine_lock_refusal(Result<std::string> owner) {
    Error cause = owner ? Error("created by " + *owner)
                        : std::move(owner.error()).context("its owner could not be read");
    return Error(std::string(MACHINE_LOCK_BUSY_ERROR), std::move(cause));
}

}  // namespace velmor
