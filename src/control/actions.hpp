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

// One start or stop, as its log line tells it.
struct ActionReport {
    std::string_view action;  // "start" or "stop"
    std::string_view who;     // the client, as ControlClient::identity names it
    const Result<>& result;
    // Whether the core changed: a start that the record accepted (a new run,
    // whether or not its core survived the start check), a stop that found a
    // core starting, running or stopping.
    bool changed = false;
    // A start refused because what SYSTEM would use is not safe: the data
    // folder, the program folder or the core library, Wintun.
    bool for_safety = false;
    // The record's state after the action.
    std::string_view status = {};
};

// Logs one start or stop under the client's name, its error on one line
// with all its causes (escaped and bounded as text from outside is):
//   changed, done:    "{action} by {who}: core {status}", never rate limited,
//                     and the event core_started or core_stopped (information)
//                     with the same text;
//   changed, failed:  "{action} by {who} failed: {error}", never rate limited;
//   unchanged:        "{action} by {who} refused: {error}", or
//                     "{action} by {who}: core already {status}", as a client
//                     line (log_client_message).
// A start refused for safety also reports start_refused (warning); those
// events pass a rate limit of their own, as large as the log's.
void log_action(const ActionReport& report);

// start_action (with `config`) or stop_action, then log_action for the
// client `who`. Called with the start/stop lock held.
Result<> run_attributed_action(std::string_view action, std::optional<std::string> config, CoreShared& core,
                               std::string_view who);

// Reports start_refused (warning) with `text`, within the limit on those
// events; for every start refused for safety, the policy's refusals too.
void report_start_refused(std::string_view text);

namespace detail {
// Calls `hook` (nullptr: nothing) at the beginning of each start's
// preparation, on its thread; for tests that hold a preparation there.
void before_prepare_for_testing(void (*hook)());
}  // namespace detail

}  // namespace velmor
