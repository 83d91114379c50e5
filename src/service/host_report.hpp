#pragma once
// What the helper says about itself when it starts and stops, in the log and
// in the Windows Event Log: which version runs, in which process, with which
// data folder. Service routine or console main thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace velmor {

// "{host}: version {v}, process {pid}, data folder {path}", with `host` one
// of "service started" or "console mode".
std::string host_started_line(std::string_view host, std::uint32_t process_id);

// Logs `line` and reports it as the service_started event (information).
void report_host_started(const std::string& line);

// Logs `line` and reports it as the service_stopped event (information).
void report_host_stopped(const std::string& line);

}  // namespace velmor
