#pragma once
// The log sink: one timestamped line per call, appended to velmor-helper.log
// next to the executable and echoed on standard error.
//
// Any thread may log at any time, also before init_log and after wmain has
// returned: the sink's state is never destroyed. Nothing here ever fails
// towards the caller, not even when memory runs out: a file that cannot be
// opened or written is left out and the line still reaches standard error;
// the file is tried again at the next line (log_writer.hpp), and each spell
// without it is reported once to the Event Log (outside the sink's lock).
// The sink's lock is the innermost lock of the process (log lines are
// written under the core-state lock, never the reverse).
//
// The log is bounded whatever clients do: lines that clients cause pass a
// rate limit (log_limit.hpp), and the file is rotated past a size cap
// (log_writer.hpp).

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/names.hpp"  // LOG_FILE_NAME, OLD_LOG_FILE_NAME
#include "env/event_log.hpp"

namespace velmor {

// Opens velmor-helper.log in `folder` (created if missing for this process's
// account alone, never truncated; one that others may open is set aside)
// and installs it for the rest of the process. Only the first call takes
// effect; a later call closes what it opened.
void init_log(const std::filesystem::path& folder);

// Closes the log file until the next line opens it again: for a process
// that is about to remove the folder holding it (Windows removes no folder
// with an open file in it). Any thread.
void close_log_file() noexcept;

// Writes "[SystemTime { intervals: N }] " + message + "\n" to the log file
// (one system write, under the sink's lock) and then to standard error with
// the time as people read it: "[2026-12-08T06:10:00.1234567+01:00] ", local
// time with its offset (base/local_time.hpp).
void log_message(std::string_view message) noexcept;

// The prefix of a line of `level`: "ERROR: ", "warning: " or none.
constexpr std::string_view log_prefix(LogLevel level) {
    switch (level) {
        case LogLevel::error: return "ERROR: ";
        case LogLevel::warning: return "warning: ";
        case LogLevel::info: break;
    }
    return {};
}

// log_message of `message` after the prefix of `level`.
void log_message(LogLevel level, std::string_view message) noexcept;

// Logs `text` (after the prefix of the event's level) and reports event `id`
// with `text` as its insertion string: the line and the event together.
void report(EventId id, std::string_view text) noexcept;

// log_message for a line that a client caused: the pipe's handle and accept
// errors, invalid requests, anything that quotes client text. Passes the
// rate limit; when lines flow again after some were held back, the line
// "N similar lines left out in the last M s" comes first.
void log_client_message(std::string_view message) noexcept;

// log_client_message for a ControlAccess denial: it passes a limit of the
// same size but of its own, so that other client lines cannot use up its
// budget (nor it theirs).
void log_denial_message(std::string_view message) noexcept;

// Writes the summaries now, if client lines or denials were held back since
// the last one; the service calls it as it stops.
void log_pending_summary() noexcept;

// The line that log_message writes for `message` at file time `intervals`.
std::string format_log_line(std::int64_t intervals, std::string_view message);

// A line of the file as standard error shows it: its time prefix, if it has
// one, as "[" + local_iso_time + "] "; any other line as it is. The file
// keeps its own form, which tools read.
std::string log_echo_line(std::string_view file_line);

// The current system time as 100-ns intervals since 1601-01-01 UTC.
std::int64_t system_time_intervals();

}  // namespace velmor
