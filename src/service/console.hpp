#pragma once
// Console mode: the control pipe server in the foreground, without the SCM.

#include "base/error.hpp"

namespace velmor {

// Opens the log next to the executable, prepares the data folder
// (prepare_data_folder_at_start), logs "running in console mode",
// starts the control pipe server on a detached thread with a fresh stop flag
// and core record, and then sleeps on the main thread until the process is
// ended from outside. Comes back only with an error: the executable's folder
// cannot be found, or "failed to spawn thread".
Result<> run_console();

}  // namespace velmor
