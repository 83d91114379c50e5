#pragma once
// What velmor-ctl prints of what it did not write: the helper's reply, an
// error that may quote it, a line of a log. All of it may carry control
// characters that a terminal acts on (a core's error quoting a user's
// configuration, a file anyone wrote), so every path escapes the characters
// the helper's log escapes (is_control_for_log): as escape_for_log writes
// them in lines for people, as JSON escapes in a reply printed for scripts.
// Portable; main thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "velmor-ctl/ctl_command_line.hpp"

namespace velmor::ctl {

// The reply as people read it, not yet escaped. status: "core {state}", then
// ": {error}" when the reply carries the core's last error (or its policy's
// stand-in); start and stop: "core started", "core stopped". A reply with
// "ok":false: "{verb} refused: {error}" for status, "{verb} failed: {error}"
// for start and stop. None when `reply` (one line, with or without its line
// feed) is not such a reply, or for any other verb.
std::optional<std::string> readable_reply(Verb verb, std::string_view reply);

// `reply` byte for byte, except that each character is_control_for_log
// names (line feeds too: a reply is one line) becomes a JSON escape
// ("\u009b") and invalid UTF-8 becomes U+FFFD; a final line feed is kept.
// A JSON reader gets the same value; a terminal gets nothing to act on.
std::string json_for_terminal(std::string_view reply);

// Which helper answers, for status: "helper process {id}", then ", version
// {v}" and ", started {time}" as far as they could be read, then what could
// not be and why: " (start time unreadable: {unreadable})".
struct HelperIdentity {
    std::uint32_t process = 0;
    std::string image;  // the executable's path; empty when unreadable
    std::optional<std::string> version;
    std::optional<std::string> started;  // an ISO 8601 time
    std::optional<std::string> unreadable;  // why what is missing is missing
};
std::string helper_line(const HelperIdentity& helper);

// Standard output for `reply` to `command`: the readable line (and, for
// status, the helper's line) escaped, each ending in a line feed; with
// --json, for ping, send, and a reply that is not readable,
// json_for_terminal(reply).
std::string printed_reply(const CtlCommand& command, std::string_view reply,
                          const std::optional<HelperIdentity>& helper);

// Standard error for a failure: "velmor-ctl: {error on one line}", escaped,
// with its line feed.
std::string error_line(const Error& error);

// Exit status for a reply: 0 for "ok":true, 1 for "ok":false, 2 for
// anything else.
int reply_exit_status(std::string_view reply);

}  // namespace velmor::ctl
