#pragma once
// The "start" and "stop" actions of the control channel. Both run on the pipe
// server's thread, one request at a time, and take no lock of their own.

#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "control/protocol.hpp"
#include "core/core_state.hpp"

namespace velmor {

// Refusal of a start or stop that found another one under way for longer
// than it may wait, or of a start while an earlier start's preparation is
// still stuck.
inline constexpr std::string_view ACTION_BUSY_ERROR = "another start or stop is in progress";
// A start whose preparation (data folder, Wintun, core library) has not
// finished within its bound; the record is unchanged.
inline constexpr std::string_view PREPARE_TIMEOUT_ERROR = "start preparation did not finish in time";

// Checks the request's configuration and, unless a core is starting,
// running or stopping (then refused with start_core's text before anything
// is touched), prepares the service data folder, checks what SYSTEM loads
// and copies from the program folder, places Wintun and loads the core
// library on a thread of its own, waiting for it up to the record's prepare
// timeout, then starts a core. Takes the configuration by value so that a
// large one is moved to the core, not copied. Blocks for the preparation and
// the start check delay. Errors: those of check_config, ACTION_BUSY_ERROR,
// PREPARE_TIMEOUT_ERROR, those of prepare_data_folder, "core library is not
// safe: {path}: {reason}" (before wintun.dll is copied), those of
// ensure_wintun, "load core library" (cause: the loader's error), those of
// start_core.
Result<> start_action(std::optional<std::string> config, CoreShared& core);

// Stops the core; blocks up to the stop timeout. Errors: those of stop_core.
Result<> stop_action(CoreShared& core);

// Marks a preparation of the service data folder under way, a start's or
// the helper's own as it starts: false when one is already, which the caller
// then leaves alone. end_preparation ends the mark.
bool begin_preparation();
void end_preparation();

namespace detail {
// Calls `hook` (nullptr: nothing) at the beginning of each start's
// preparation, on its thread; for tests that hold a preparation there.
void before_prepare_for_testing(void (*hook)());
}  // namespace detail

}  // namespace velmor
