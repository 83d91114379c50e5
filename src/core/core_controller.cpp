#include "core/core_controller.hpp"

#include "core/core_controller_impl.hpp"

namespace velmor {

template Result<> start_core(CoreShared&, std::string, std::filesystem::path, std::filesystem::path);
template Result<> check_start_allowed(CoreShared&);
template Result<> stop_core(CoreShared&);

}  // namespace velmor
