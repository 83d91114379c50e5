#pragma once
// The status reply as people read it: one line instead of the JSON, which
// `velmor-ctl status --json` keeps for scripts. Portable; main thread.

#include <optional>
#include <string>
#include <string_view>

namespace velmor::ctl {

// "core {state}", then ": {error}" when the reply carries the core's last
// error (or its policy's stand-in, "hidden by ControlAccess policy");
// "status refused: {error}" for a reply with "ok":false. None when `reply`
// (one line, with or without its line feed) is not a status reply: the
// caller prints it as received.
std::optional<std::string> status_line(std::string_view reply);

}  // namespace velmor::ctl
