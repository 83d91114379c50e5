#pragma once
// The control channel's messages: one request line in, at most one reply line
// out. Independent of the transport.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
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

// What the transport knows of the client on the other end of a connection.
// Each member may be absent and is called only when needed, on the thread
// handling the request.
struct ControlClient {
    // Whether the client may run "start" or "stop" (the action word); its
    // error's message becomes the reply's error. Absent: everyone may.
    std::function<Result<>(std::string_view action)> gate;
    // Whether "status" may show this client the core's error text; asked
    // only when there is one. Absent: shown.
    std::function<bool()> may_see_error;
    // Who the client is, for the log lines of its starts and stops:
    // "{account} (process {id})". Absent: "a client".
    std::function<std::string()> identity;
};

// Parses trimmed request text. The error carries the parser's fault, with
// its line and column, as its message.
Result<Request> parse_request(std::string_view text);

// {"id":…,"ok":…,"error":…,"data":…} in that order, compact, plus a line feed.
std::string serialize_reply(const Reply& reply);

// Turns the bytes received on one connection into the reply text, or into a
// request error when no reply is to be sent (invalid UTF-8, or text that is
// not a request). Runs on any of the pipe server's threads, several at once;
// "start" and "stop" run one at a time (run_attributed_action on `actions`),
// a second one waiting until the first is done. Blocks while an action runs
// (a start for at least the start check, a stop up to its time-out, plus the
// wait for one running before it). Throws std::bad_alloc when memory runs
// out; nothing else escapes.
//
// `client.gate`, when given, is asked before every "start" and "stop" (never
// for "ping" and "status"), with the action word, before the request waits
// for another start or stop. Every start and stop it lets through is logged
// under `client.identity` (see run_attributed_action). "status" reads the
// record of `actions`; one whose core has an error shows HIDDEN_ERROR_TEXT in
// its place unless `client.may_see_error` allows it.
Result<std::string> handle_request(std::string_view received, ActionContext& actions,
                                   const ControlClient& client = {});

}  // namespace velmor
