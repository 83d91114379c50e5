#include "base/local_time.hpp"

#include <time.h>

namespace velmor {
namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t EPOCH_SECONDS = 11'644'473'600;
constexpr std::int64_t PER_SECOND = 10'000'000;

}  // namespace

int utc_offset_minutes(std::int64_t intervals) {
    const auto seconds = static_cast<time_t>(intervals / PER_SECOND - EPOCH_SECONDS);
    tm parts{};
    if (localtime_r(&seconds, &parts) == nullptr) return 0;
    return static_cast<int>(parts.tm_gmtoff / 60);
}

std::optional<std::int64_t> local_to_utc(std::int64_t wall) {
    const std::int64_t fraction = wall % PER_SECOND;
    // The wall time's fields, read as if it were UTC, then taken as local.
    const auto as_utc = static_cast<time_t>(wall / PER_SECOND - EPOCH_SECONDS);
    tm parts{};
    if (gmtime_r(&as_utc, &parts) == nullptr) return std::nullopt;
    parts.tm_isdst = -1;
    const time_t utc = mktime(&parts);
    if (utc == static_cast<time_t>(-1)) return std::nullopt;
    return (static_cast<std::int64_t>(utc) + EPOCH_SECONDS) * PER_SECOND + fraction;
}

}  // namespace velmor
