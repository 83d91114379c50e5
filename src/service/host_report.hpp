#pragma once
// The line with which the helper says that it started, in the log and in the
// Windows Event Log (report(EventId::service_started, ...)): which version,
// in which process, with which data folder. Service routine, console main
// thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/pipe_server.hpp"

namespace velmor {

// "{host}: version {v}, process {pid}, data folder {path}", with `host` one
// of "service started" or "console mode".
std::string host_started_line(std::string_view host, std::uint32_t process_id);

// What the service says once it holds the pipe's name that it found taken.
inline constexpr std::string_view NAME_HELD_AFTER_WAIT_LINE = "pipe name free again: serving from now on";

// The holder of the pipe's name in the words of the line that says the name
// is taken: "the velmor-helper service (process N)" with "stop the service
// first (sc stop velmor-helper)" when `process` runs the service (`service`,
// empty when it does not run or cannot be asked), else plain_pipe_holder.
PipeHolder pipe_holder_words(std::optional<std::uint32_t> process, std::optional<std::uint32_t> service);

}  // namespace velmor
