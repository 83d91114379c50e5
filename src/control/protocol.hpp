#pragma once
// The control channel's messages: one request line in, at most one reply line
// out. Independent of the transport.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "control/action.hpp"
#include "core/core_state.hpp"

namespace velmor {

class ActionContext;

// A request: each member a string, or absent when missing or null.
struct Request {
    std::optional<std::string> id;
    std::optional<std::string> action;
    std::optional<std::string> config;
};

// A reply; `data` holds compact JSON text, or none for null.
struct Reply {
    std::optional<std::string> id;
    bool ok = false;
    std::optional<std::string> error;
    std::optional<std::string> data;
};

// The fixed text that "status" gives in place of the core's error to a
// client that the ControlAccess policy does not let start and stop.
inline constexpr std::string_view HIDDEN_ERROR_TEXT = "hidden by ControlAccess policy";
// The reply's error for a start or stop of a client whose account cannot
// be read: no action runs without a name in the log.
inline constexpr std::string_view UNIDENTIFIED_CLIENT_ERROR = "client cannot be identified";

// Who a client is, for the log lines of its starts and stops.
struct ClientIdentity {
    // "{account} (process {id})".
    std::string name;
    // Why the client's account cannot be read, if it cannot (a client that
    // connected anonymously, say): its starts and stops are refused.
    std::optional<Error> unreadable;
};

// What the transport knows of the client on the other end of a connection.
// Each member may be absent and is called only when needed, on the thread
// handling the request.
struct ControlClient {
    // Whether the client may run Action::start or Action::stop; its error's
    // message becomes the reply's error. Absent: everyone may.
    std::function<Result<>(Action action)> gate;
    // Whether "status" may show this client the core's error text; asked
    // only when there is one. Absent: shown.
    std::function<bool()> may_see_error;
    // Who the client is. Absent: "a client", whose starts and stops run.
    std::function<ClientIdentity()> identity;
};

// The action a request's "action" member names: exactly the word, in lower
// case; none for any other text.
std::optional<Action> parse_action(std::string_view word);

// Parses trimmed request text. The error carries the parser's fault, with
// its line and column, as its message.
Result<Request> parse_request(std::string_view text);

// {"id":…,"ok":…,"error":…,"data":…} in that order, compact, plus a line feed.
std::string serialize_reply(const Reply& reply);

// Turns the bytes received on one connection into the reply text, or into a
// request error when no reply is to be sent (invalid UTF-8, or text that is
// not a request). Runs on any of the pipe server's threads, several at once;
// "start" and "stop" run one at a time (run_attributed_action on `actions`):
// a second one waits for the first up to the action wait and past it gives
// up with ACTION_BUSY_ERROR. Blocks while an action runs (a start for at
// least the start check, a stop up to its time-out, plus the wait for one
// running before it). Throws std::bad_alloc when memory runs
// out; nothing else escapes.
//
// `client.gate`, when given, is asked before every "start" and "stop" (never
// for "ping" and "status"), with the action, before the request waits
// for another start or stop. Every start and stop it lets through is logged
// under `client.identity` (see run_attributed_action); one whose client's
// account cannot be read is refused with UNIDENTIFIED_CLIENT_ERROR (the
// account's error as cause) and logged as refused (log_action; for a start,
// a refusal for safety). "status" reads the record of `actions`; one whose
// core has an error shows HIDDEN_ERROR_TEXT in its place unless
// `client.may_see_error` allows it.
Result<std::string> handle_request(std::string_view received, ActionContext& actions,
                                   const ControlClient& client = {});

}  // namespace velmor
