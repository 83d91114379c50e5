#include "control/action_lock.hpp"

namespace velmor {

template class BasicActionLock<SystemSync>;

}  // namespace velmor
