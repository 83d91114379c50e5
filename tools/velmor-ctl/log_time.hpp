#pragma once
// The helper's log as people read it: each line's "[SystemTime { intervals:
// N }] " prefix (N: 100-ns intervals since 1601-01-01 UTC, as the log sink
// writes it) shown as an ISO 8601 time, and a time to start from. Portable;
// velmor-ctl's `log` command uses it on its main thread. The file itself is
// never changed: only what is printed.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/local_time.hpp"

namespace velmor::ctl {

// The time of a log line and how many bytes its prefix takes (up to and
// including the blank after "]"); none when the line does not start with a
// well-formed prefix (a continuation line of a message with line breaks, a
// cut line, garbage).
struct LogPrefix {
    std::int64_t intervals = 0;
    std::size_t length = 0;
};
std::optional<LogPrefix> read_log_prefix(std::string_view line);

// The ISO 8601 form of a log time (base/local_time.hpp).
using velmor::iso_time;

// A time as an administrator writes it for --since: "YYYY-MM-DD", optionally
// followed by "T" (or a blank) and "HH:MM", ":SS" and a fraction of up to 7
// digits, then optionally "Z" or an offset "+HH:MM" / "-HH:MM". Without a
// zone the time is taken as given and `zoned` is false (the caller decides
// whether that is UTC or local time). None for anything else, an impossible
// date (2023-02-29) or a time before 1601.
struct IsoTime {
    std::int64_t intervals = 0;  // UTC when zoned, else the wall time as if it were UTC
    bool zoned = false;
};
std::optional<IsoTime> parse_iso_time(std::string_view text);

// Turns the log's lines into the printed ones, one at a time, in file order.
// A line with a prefix gets the ISO time instead; a line without one is
// printed as it is and belongs to the line before it (the rest of a message
// with line breaks), so --since keeps or drops it with that line. Lines
// before the first prefixed one are kept.
// This machine's time zone, both ways: base/local_time.hpp's.
using velmor::local_to_utc;
using velmor::utc_offset_minutes;

class LogLineFilter {
public:
    // `offset_minutes` for an instant: none prints UTC; `since` (UTC
    // intervals) drops lines before it.
    using LocalOffset = std::function<int(std::int64_t intervals)>;
    LogLineFilter(LocalOffset local_offset, std::optional<std::int64_t> since)
        : local_offset_(std::move(local_offset)), since_(since) {}

    // The printed form of `line` (without its line feed), or none when it is
    // left out.
    std::optional<std::string> next(std::string_view line);

private:
    LocalOffset local_offset_;
    std::optional<std::int64_t> since_;
    bool keeping_ = true;
};

}  // namespace velmor::ctl
