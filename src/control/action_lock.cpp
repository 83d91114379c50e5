#include "control/action_lock.hpp"

namespace velmor {

template class BasicActionLock<PipeSharesSync>;

}  // namespace velmor
