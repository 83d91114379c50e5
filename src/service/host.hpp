#pragma once
// The one sequence that service and console mode run around the control pipe
// server; each host adds only what is its own (the SCM, or the console's
// Ctrl+C). Runs on the service routine's thread or the console's main thread.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "control/pipe_server.hpp"

namespace velmor {

struct HostHooks {
    // The first words of the started line: "service started" or "console
    // mode".
    std::string_view name;
    // Right after the log is open, before anything starts: the host's own
    // set-up. An error ends the run with nothing started.
    std::function<Result<>()> attach;
    // Logged before the started line; empty: none.
    std::string_view first_line;
    // The pipe server's reports, on its thread (see PipeServerHost).
    std::function<void()> serving;
    std::function<void(PipeServerEnd, const Error&)> ended;
    bool give_up_when_taken = false;
    std::function<void()> waiting_for_name;
    // Blocks until the run is to stop; returns the line to log (and report
    // as the stopped event) before the core is stopped, or empty for none.
    std::function<std::string()> wait_for_stop;
};

// The executable's folder and the log there; attach; the data folder
// prepared (prepare_data_folder_at_start); first line; the started line
// (host_started_line, also as the started event); the core record, its
// ActionContext and the pipe server on a detached thread; the program folder checked (an unsafe
// one logged and reported as the program_folder_unsafe event); then
// wait_for_stop; its line; stop_core (a time-out is logged by the
// controller) and the summary of held-back client lines. `stop_requested`
// is shared with the pipe server. Errors: the executable's folder, attach's,
// "failed to spawn thread".
Result<> run_host(const HostHooks& hooks, const std::shared_ptr<std::atomic<bool>>& stop_requested);

}  // namespace velmor
