#pragma once
// The control pipe server: serves up to eight clients of
// \\.\pipe\velmor-helper side by side (PIPE_MAX_INSTANCES), each on a thread
// of its own with its own time bounds, for the whole life of the service or
// of console mode. "ping" and "status" never wait for another client; "start"
// and "stop" run one at a time (ActionContext's start/stop lock sees to that).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/error.hpp"
#include "control/actions.hpp"

namespace velmor {

// Why the server gave up.
enum class PipeServerEnd {
    stopped,     // stop_requested was set by someone else
    name_taken,  // another process holds the pipe's name
    failed,      // the pipe could not be made or served
};

// The holder of the pipe's name as a log line names it: "the velmor-helper
// service (process N)", "process N" or "an unknown process", and what to do
// to free the name.
struct PipeHolder {
    std::string who;
    std::string advice;
};

// What the host gives the server.
struct PipeServerHost {
    std::shared_ptr<ActionContext> actions;
    std::shared_ptr<std::atomic<bool>> stop_requested;
    // Called once, on the server's thread, when every instance exists and
    // clients can be served.
    std::function<void()> serving;
    // Called once, on the server's thread, when the server gives up
    // (name_taken or failed), before it sets stop_requested. The error is
    // one line that says what to do: for name_taken it names the holder.
    std::function<void(PipeServerEnd, const Error&)> ended;
    // Console mode gives up at once when another process holds the name;
    // the service keeps trying until the name is free, with one log line and
    // one event per episode.
    bool give_up_when_taken = false;
    // Called once, on the server's thread, when the server keeps trying for
    // a name that another process holds (give_up_when_taken false), right
    // after the line and the event that name the holder.
    std::function<void()> waiting_for_name;
    // Called once, on the server's thread, when the name is held and every
    // instance exists, before clients are let in: what may only be done by
    // the helper that serves (its log, its data folder). `waited`: the name
    // was taken first. False: the server is to stop instead, the flag set.
    std::function<bool(bool waited)> claimed = {};
    // Names the holder of a taken name from its process id (empty when the
    // system did not say), on the server's thread: the host knows which
    // process runs the service. Empty: plain_pipe_holder (pipe_loop.hpp).
    std::function<PipeHolder(std::optional<std::uint32_t> process)> holder = {};
};

// The thread body (pipe_loop.hpp). Serves on this thread and on seven more
// that it starts;
// each returns when it finds `stop_requested` set. Runs detached; nobody
// waits for it or for the threads it starts.
void run_pipe_server(PipeServerHost host);

}  // namespace velmor
