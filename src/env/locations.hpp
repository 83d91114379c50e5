#pragma once
// Where the helper keeps things on disk, and the preparation of those places
// before a core starts.

#include <filesystem>

#include "base/error.hpp"

namespace velmor {

// The folder that holds the running executable. Errors: "current_exe" (with
// the system error as cause) or "invalid exe path". Any thread.
Result<std::filesystem::path> exe_dir();

// ProgramData (read at every call; "C:\ProgramData" when unset; used as it
// is, even when empty), then "Velmor", then "service". Cannot fail.
std::filesystem::path service_data_dir();

// The service data folder, then "log", then "clash.log".
std::filesystem::path core_log_path();

}  // namespace velmor
