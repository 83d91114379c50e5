#include "service/service_lifecycle.hpp"

namespace velmor {

template class BasicServiceLifecycle<SystemSync>;

}  // namespace velmor
