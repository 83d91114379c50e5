#pragma once
// What the helper says about itself, in the log and in the Windows Event
// Log: when it starts and stops (which version, in which process, with which
// data folder), and what an administrator has to mend. Service routine,
// console main thread, install.

#include <cstdint>
#include <string>
#include <string_view>

#include "env/event_log.hpp"

namespace velmor {

enum class HostNews { started, stopped, program_folder_unsafe, recovery_not_set, name_held_after_wait };

// What the service says once it holds the pipe's name that it found taken.
inline constexpr std::string_view NAME_HELD_AFTER_WAIT_LINE = "pipe name free again: serving from now on";

struct HostEvent {
    EventId id;
    EventKind kind;
    bool operator==(const HostEvent&) const = default;
};

// The event each news is reported as: started and stopped as information,
// an unsafe program folder and recovery actions not set as warnings (the
// helper runs on either way), the name held after a wait as information
// under the id of the taken name that it ends.
HostEvent host_event(HostNews news);

// "{host}: version {v}, process {pid}, data folder {path}", with `host` one
// of "service started" or "console mode".
std::string host_started_line(std::string_view host, std::uint32_t process_id);

// Logs `line` and reports it as host_event(news).
void report_host(HostNews news, const std::string& line);

}  // namespace velmor
