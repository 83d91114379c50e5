#pragma once
// The log sink: one timestamped line per call, appended to velmor-helper.log
// next to the executable and echoed on standard error.
//
// Any thread may log at any time, also before init_log. Nothing here ever
// fails towards the caller: a file that cannot be opened or written is left
// out and the line still reaches standard error.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace velmor {

inline constexpr std::string_view LOG_FILE_NAME = "velmor-helper.log";

// Opens velmor-helper.log in `folder` (created if missing, never truncated)
// and installs it for the rest of the process. Only the first call takes
// effect; a later call closes what it opened.
void init_log(const std::filesystem::path& folder);

// Writes "[SystemTime { intervals: N }] " + message + "\n" to the log file
// (one system write, under the sink's lock) and then to standard error.
void log_message(std::string_view message);

// The line that log_message writes for `message` at file time `intervals`.
std::string format_log_line(std::int64_t intervals, std::string_view message);

// The current system time as 100-ns intervals since 1601-01-01 UTC.
std::int64_t system_time_intervals();

}  // namespace velmor
