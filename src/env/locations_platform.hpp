#pragma once
// The platform half of the data locations.

#include <filesystem>

#include "base/error.hpp"

namespace velmor::detail {

// The full path of the running executable, or "current_exe" with the cause.
Result<std::filesystem::path> current_exe();

// The base of the service data folder: the ProgramData variable as it is, or
// the system's default when it is not set.
std::filesystem::path program_data_base();

}  // namespace velmor::detail
