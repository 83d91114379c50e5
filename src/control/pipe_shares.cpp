#include "control/pipe_shares.hpp"

namespace velmor {

template class BasicPipeShares<SystemSync>;

}  // namespace velmor
