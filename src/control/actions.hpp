#pragma once
// The "start" and "stop" actions of the control channel, and the context
// they share: the host makes one ActionContext for the core record it serves
// and hands it to every request. Both actions run on any of the pipe
// server's threads, one at a time (the context's start/stop lock).

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "control/action.hpp"
#include "control/action_lock.hpp"
#include "core/core_state.hpp"
#include "env/data_folder.hpp"
#include "env/event_log.hpp"
#include "env/log_limit.hpp"

namespace velmor {

// Refusal of a start or stop that found another one under way for longer
// than it may wait, or of a start while an earlier start's preparation is
// still stuck.
inline constexpr std::string_view ACTION_BUSY_ERROR = "another start or stop is in progress";
// A start whose preparation (data folder, Wintun, core library) has not
// finished within its bound; the record is unchanged.
inline constexpr std::string_view PREPARE_TIMEOUT_ERROR = "start preparation did not finish in time";

// What a start does before start_core, in this order; the first failure
// ends it. Each may wait on someone else's handle (an oplock holds an open
// for as long as its holder likes), so they run on a thread of their own.
struct PreparationSteps {
    // Prepares the service data folder and holds it until the start is
    // decided (prepare_data_folder).
    std::function<Result<PreparedDataFolder>(const std::filesystem::path& data_dir)> data_folder;
    // What SYSTEM copies and loads from the program folder, checked on every
    // start: the library may be loaded already, and wintun.dll is copied anew
    // (check_core_library_trust on the executable's folder).
    std::function<Result<>()> core_library_trust;
    // Places wintun.dll in the data folder (ensure_wintun).
    std::function<Result<>(const std::filesystem::path& data_dir)> wintun;
    // Loads the core library (load_core_library); its error is the cause
    // under "load core library".
    std::function<Result<>()> core_library;
};

// The steps the helper runs.
PreparationSteps system_preparation_steps();

// Receives the events that the actions report (report_event in the helper).
// Called on the thread of the request, with no lock held.
using EventSink = std::function<void(EventId, std::string_view)>;

// What the start and stop actions share between requests, for one core
// record: the start/stop lock, the mark of a preparation under way, the
// preparation steps, the event sink and the limit on start_refused events.
// Made once by the host with std::make_shared (a preparation's thread keeps
// a reference) and shared with the pipe server's threads; never changed
// after construction but for its locks and marks, which are thread safe.
class ActionContext : public std::enable_shared_from_this<ActionContext> {
public:
    // The helper's: the system's steps, report_event, and a limit on
    // start_refused events as large as the log's on client lines.
    explicit ActionContext(std::shared_ptr<CoreShared> core);
    ActionContext(std::shared_ptr<CoreShared> core, PreparationSteps steps, EventSink events,
                  LogRateLimit refusal_limit = LogRateLimit());
    ActionContext(const ActionContext&) = delete;
    ActionContext& operator=(const ActionContext&) = delete;

    CoreShared& core() const { return *core_; }
    const PreparationSteps& steps() const { return steps_; }

    // Marks a preparation of the service data folder under way, a start's or
    // the helper's own as it starts: false when one is already, which the
    // caller then leaves alone. end_preparation ends the mark. Any thread.
    bool begin_preparation() { return !preparing_.exchange(true); }
    void end_preparation() { preparing_.store(false); }

    // Hands one event to the sink.
    void report(EventId id, std::string_view text) const;

    // Reports start_refused (warning) with `text`, within the limit on those
    // events; for every start refused for safety, the policy's refusals too.
    void report_start_refused(std::string_view text);

    // The start/stop lock (control/action_lock.hpp). Taken outside the
    // core-state lock. True when taken within `bound`; blocks up to it.
    bool try_lock_actions_for(std::chrono::nanoseconds bound) { return actions_.try_lock_for(bound); }
    void unlock_actions() { actions_.unlock(); }

private:
    const std::shared_ptr<CoreShared> core_;
    const PreparationSteps steps_;
    const EventSink events_;

    // Set while a preparation runs, also one whose request has given up on
    // it: a second preparation would work on the same folders.
    std::atomic<bool> preparing_{false};

    ActionLock actions_;

    // A client that repeats a refused start must not flood the Event Log.
    std::mutex refusals_mutex_;
    LogRateLimit refusal_limit_;  // guarded by refusals_mutex_
};

// Checks the request's configuration and, unless a core is starting,
// running or stopping (then refused with start_core's text before anything
// is touched), runs the context's preparation steps on a thread of its own,
// waiting for them up to the record's prepare timeout, then starts a core.
// Takes the configuration by value so that a large one is moved to the
// core, not copied. Blocks for the preparation and the start check delay.
// Does not take the start/stop lock. Errors: those of check_config,
// ACTION_BUSY_ERROR, PREPARE_TIMEOUT_ERROR, those of prepare_data_folder,
// "core library is not safe: {path}: {reason}" (before wintun.dll is
// copied), those of ensure_wintun, "load core library" (cause: the loader's
// error), those of start_core.
Result<> start_action(ActionContext& context, std::optional<std::string> config);

// Stops the core; blocks up to the stop timeout. Does not take the
// start/stop lock. Errors: those of stop_core.
Result<> stop_action(ActionContext& context);

// One start or stop, as its log line tells it.
struct ActionReport {
    Action action;            // start or stop
    std::string_view who;     // the client, as ControlClient::identity names it
    const Result<>& result;
    // Whether the core changed: a start that the record accepted (a new run,
    // whether or not its core survived the start check), a stop that found a
    // core starting, running or stopping.
    bool changed = false;
    // A start refused because what SYSTEM would use is not safe: the data
    // folder, the program folder or the core library, Wintun, or a client
    // that cannot be identified.
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
// A start refused for safety also reports start_refused (warning) through
// report_start_refused.
void log_action(ActionContext& context, const ActionReport& report);

// Waits up to the record's action wait for the start or stop under way
// (ACTION_BUSY_ERROR past it), then start_action (with `config`) or
// stop_action, and log_action for the client `who` either way.
Result<> run_attributed_action(ActionContext& context, Action action, std::optional<std::string> config,
                               std::string_view who);

}  // namespace velmor
