#pragma once
// Times as people read them: ISO 8601, in UTC or in this machine's local
// time with its offset. Times are file times: 100-ns intervals since
// 1601-01-01 UTC, as the log writes them. Any thread.

#include <cstdint>
#include <optional>
#include <string>

namespace velmor {

// "YYYY-MM-DDTHH:MM:SS.fffffffZ" for `intervals` (at least 0), or, with
// `offset_minutes` (local time east of UTC), the local time followed by
// "+HH:MM" or "-HH:MM". The fraction keeps the log's full resolution.
std::string iso_time(std::int64_t intervals, std::optional<int> offset_minutes = std::nullopt);

// Minutes east of UTC of this machine's time zone at `intervals`, with the
// daylight saving rule of that date; 0 when the system cannot say.
int utc_offset_minutes(std::int64_t intervals);

// A wall time of this machine's time zone (file-time units counted as if
// that zone were UTC) as UTC, with the daylight saving rule of that date;
// none when the system cannot convert it.
std::optional<std::int64_t> local_to_utc(std::int64_t wall);

// iso_time in local time with its offset.
inline std::string local_iso_time(std::int64_t intervals) {
    return iso_time(intervals, utc_offset_minutes(intervals));
}

}  // namespace velmor
