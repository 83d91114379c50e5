#include "control/pipe_watchdog.hpp"

namespace velmor {

template class BasicIoWatchdog<SystemSync>;

}  // namespace velmor
