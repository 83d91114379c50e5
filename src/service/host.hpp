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
    // Before the pipe's name is claimed, so before the log is open: the
    // host's own set-up (it writes no log line of its own). An error ends
    // the run with nothing started.
    std::function<Result<>()> attach;
    // Once the name is held and the log is open, on the pipe server's
    // thread, before the first line: the host's set-up that logs or reports
    // (the service's recovery actions). Empty: none.
    std::function<void()> held;
    // Logged before the started line, once the name is held; empty: none.
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

// run_host_sequence with the system's calls (host_sequence.hpp gives the
// order: nothing is written to the log, the data folder or the Event Log's
// started event before the pipe's name is held). `stop_requested` is shared
// with the pipe server. Errors: the executable's folder, attach's, "failed
// to spawn thread".
Result<> run_host(const HostHooks& hooks, const std::shared_ptr<std::atomic<bool>>& stop_requested);

}  // namespace velmor
