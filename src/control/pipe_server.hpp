#pragma once
// The control pipe server: serves up to four clients of \\.\pipe\velmor-helper
// side by side, each on a thread of its own with its own time bounds, for the
// whole life of the service or of console mode. "ping" and "status" never
// wait for another client; "start" and "stop" run one at a time
// (handle_request sees to that).

#include <atomic>
#include <memory>

#include "control/actions.hpp"

namespace velmor {

// The thread body. Serves on this thread and on three more that it starts;
// each returns when it finds `stop_requested` set. Returns at once, setting
// the flag itself, when the pipe's security descriptor cannot be built.
// Runs detached; nobody waits for it or for the threads it starts.
void run_pipe_server(std::shared_ptr<ActionContext> actions, std::shared_ptr<std::atomic<bool>> stop_requested);

}  // namespace velmor
