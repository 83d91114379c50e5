#pragma once
// The "start" and "stop" actions of the control channel. Both run on the pipe
// server's thread, one request at a time, and take no lock of their own.

#include <optional>
#include <string>

#include "base/error.hpp"
#include "control/protocol.hpp"
#include "core/core_state.hpp"

namespace velmor {

// Checks the request's configuration and, unless a core is starting,
// running or stopping (then refused with start_core's text before anything
// is touched), prepares the service data folder and Wintun, loads the core
// library and starts a core. Takes the configuration
// by value so that a large one is moved to the core, not copied. Blocks for the start check delay
// when the start is accepted. Errors: those of check_config, those of
// prepare_data_folder, "core library is not safe: {path}: {reason}" (the
// program folder's check, before wintun.dll is copied), those of
// ensure_wintun, "load core library" (cause: the loader's error), those of
// start_core.
Result<> start_action(std::optional<std::string> config, CoreShared& core);

// Stops the core; blocks up to the stop timeout. Errors: those of stop_core.
Result<> stop_action(CoreShared& core);

}  // namespace velmor
