#pragma once
// The line with which the helper says that it started, in the log and in the
// Windows Event Log (report(EventId::service_started, ...)): which version,
// in which process, with which data folder. Service routine, console main
// thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace velmor {

// "{host}: version {v}, process {pid}, data folder {path}", with `host` one
// of "service started" or "console mode".
std::string host_started_line(std::string_view host, std::uint32_t process_id);

// What the service says once it holds the pipe's name that it found taken.
inline constexpr std::string_view NAME_HELD_AFTER_WAIT_LINE = "pipe name free again: serving from now on";

}  // namespace velmor
