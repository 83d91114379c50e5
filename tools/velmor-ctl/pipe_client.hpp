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
#include "velmor-ctl/ctl_command_line.hpp"
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

// FILE's bytes as they are on disk, read before the pipe is opened (a file
// that cannot be read sends nothing); the error names the failed call.
using ConfigReader = std::function<Result<std::string>(const std::string& path)>;

// The request of ping, status, stop, start or send: start's configuration
// read through `read`, without the byte-order mark editors start UTF-8 files
// with, refused unless UTF-8; send's LINE as given, with its line feed.
Result<std::string> command_request(const CtlCommand& command, const ConfigReader& read);

// The system codes the client tells apart, checked against <windows.h> in
// pipe_client_win32.cpp.
namespace pipe_code {
inline constexpr std::uint32_t ACCESS_DENIED = 5, FILE_NOT_FOUND = 2, PIPE_BUSY = 231, BROKEN_PIPE = 109,
                               NO_DATA = 232, PIPE_NOT_CONNECTED = 233, MORE_DATA = 234;
}

// What to do after the pipe could not be opened with `code`, `waited` after
// the first try: wait for an absent pipe (a helper starting) a little, for a
// busy one (other clients served) longer, then fail; fail at once on
// anything else. `how_to_start` words the next step for an absent helper.
struct OpenRetry {
    enum Step { wait_absent, wait_busy, give_up } step;
    std::optional<Error> error;  // with give_up
};
inline constexpr auto ABSENT_WAIT = std::chrono::seconds(2);
inline constexpr auto BUSY_WAIT = std::chrono::seconds(10);
OpenRetry after_open_failure(std::uint32_t code, std::chrono::steady_clock::duration waited,
                             const std::function<std::string()>& how_to_start);

// Whether a read or write failed because the helper's end is gone.
bool connection_ended(std::uint32_t code);

// One write or read of an exchange as the system ended it: `bytes` moved,
// or the call's failure code, or the exchange's bound met first.
struct IoDone {
    bool ok = false;
    std::uint32_t code = 0;
    std::uint32_t bytes = 0;
    bool timed_out = false;
};

// The exchange over one connection: `write` sends some of what it is given,
// `read` receives into the buffer, each within what is left of `bound`.
// Sends `request`, then reads the reply up to its line feed or until the
// server disconnects. Past `bound`: "velmor-helper did not reply within {N}
// s{log_hint()}". A connection ended before any of the request was taken
// carries the system code (the request may be sent again); `log_hint` says
// where the helper's log is, after a connection ended or a bound passed.
struct ExchangeCalls {
    std::function<IoDone(std::string_view)> write;
    std::function<IoDone(char*, std::uint32_t)> read;
};
Result<std::string> exchange_over(const ExchangeCalls& calls, std::string_view request, std::chrono::milliseconds bound,
                                  const std::function<std::string()>& log_hint);

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

// exchange_over on `pipe` (opened for overlapped I/O): each call is
// cancelled when `bound` has passed.
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
