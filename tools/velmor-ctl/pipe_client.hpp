#pragma once
// velmor-ctl's side of the control pipe: whom it may talk to (portable, in
// pipe_client.cpp) and the talking itself (Windows, pipe_client_win32.cpp).
// Main thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "velmor-ctl/reply_text.hpp"
#ifdef _WIN32
#include "base/win.hpp"
#endif

namespace velmor::ctl {

// Whether the process serving the pipe may receive `command` (its word,
// for the next step in a refusal). `service`: the velmor-helper service's
// process id as the service manager tells it, 0 while it is not running,
// none when it is not installed, or the error of asking; `console` accepts
// any server. A name that is free while the service is stopped can be taken
// by any local program, which would then receive whatever we send: every
// doubt, the query's own failure included, refuses.
Result<> check_server(const Result<std::optional<std::uint32_t>>& service, const HelperIdentity& server,
                      bool console, std::string_view command);

// A request line for `action`, with the configuration for start.
std::string request_line(std::string_view action, const std::optional<std::string>& config);

#ifdef _WIN32
// A reply and who gave it.
struct Answered {
    std::string reply;
    HelperIdentity server;
};

// Sends `request` to the helper that may receive it (check_server), and
// sends it again when the helper drops the connection before it takes any
// of it (its share of the pipe is full for the moment), within the wait a
// busy pipe gets. `command` names the command in a refusal.
Result<Answered> ask_helper(std::string_view request, bool console, std::string_view command);

// "a.b.c" (".d" when not 0) from the fixed part of the image's version
// resource, read as data: nothing of the image runs.
std::optional<std::string> image_version(const std::wstring& image);

// The velmor-helper service's process id: 0 when it is not running, none
// when it is not installed.
Result<std::optional<std::uint32_t>> service_process_id();

// The velmor-helper service's executable, from its registration (quoted by
// install, bare from some installers). Fails with the system code of
// OpenServiceW (1060) when it is not installed.
Result<std::wstring> service_image_path();

// `who`, the server found to be the service, with the image and version of
// the service's registered executable where the process itself could not
// be asked (a standard user may not open a SYSTEM process).
HelperIdentity with_service_image(HelperIdentity who);

// How long velmor-ctl waits for the whole exchange once connected: longer
// than the slowest answer the helper gives within its own bounds, so that
// only a helper that will never answer (an instance whose server thread
// ended) meets it. The slowest is a start: its request line may take the
// server's request bound to arrive, then it waits for the start or stop
// under way, prepares the data folder, stops the core it replaces and
// waits for the new one to start; pipe_client_win32.cpp adds those bounds
// up and fails the build when they reach this.
inline constexpr std::chrono::seconds REPLY_WAIT{60};

// Sends `request` on `pipe` (opened for overlapped I/O) and reads the reply
// up to its line feed, or until the server disconnects, all within
// `bound`. Past it the call is cancelled: "velmor-helper did not reply
// within {N} s{log_hint()}". A connection ended before any of the request
// was taken carries the system code (see PipeConnection::dropped);
// `log_hint` says where the helper's log is, after a connection ended or
// a bound passed.
Result<std::string> exchange_on(HANDLE pipe, std::string_view request, std::chrono::milliseconds bound,
                                const std::function<std::string()>& log_hint);

// A connection to the pipe, waiting a little while it is absent (a helper
// starting) and longer while it is busy (other clients being served). Opened
// for identification only: the server may learn who we are, never act as us.
class PipeConnection {
public:
    static Result<PipeConnection> open(bool console);
    // Who serves the pipe, as far as the system tells; fails only when not
    // even its process id can be read.
    Result<HelperIdentity> server() const;
    // exchange_on within REPLY_WAIT.
    Result<std::string> exchange(std::string_view request) const;
    // Whether exchange failed before the helper took any of the request (a
    // connection dropped at once): the request may be sent again.
    static bool dropped(const Error& error);

private:
    explicit PipeConnection(unique_handle pipe) : pipe_(std::move(pipe)) {}
    unique_handle pipe_;
};
#endif

}  // namespace velmor::ctl
