#include "base/local_time.hpp"

#include "base/win.hpp"

namespace velmor {
namespace {

constexpr std::int64_t PER_SECOND = 10'000'000;

FILETIME file_time(std::int64_t intervals) {
    const auto bits = static_cast<std::uint64_t>(intervals);
    return {static_cast<DWORD>(bits & 0xFFFFFFFFu), static_cast<DWORD>(bits >> 32)};
}

std::int64_t intervals_of(const FILETIME& ft) {
    return static_cast<std::int64_t>((std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime);
}

}  // namespace

int utc_offset_minutes(std::int64_t intervals) {
    // Whole seconds: SYSTEMTIME keeps only milliseconds, and what it drops
    // would make the offset a minute short.
    const std::int64_t whole = intervals - intervals % PER_SECOND;
    const FILETIME utc = file_time(whole);
    SYSTEMTIME utc_parts{}, local_parts{};
    FILETIME local{};
    if (!FileTimeToSystemTime(&utc, &utc_parts) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc_parts, &local_parts) ||
        !SystemTimeToFileTime(&local_parts, &local))
        return 0;
    return static_cast<int>((intervals_of(local) - whole) / (60 * PER_SECOND));
}

std::optional<std::int64_t> local_to_utc(std::int64_t wall) {
    const std::int64_t fraction = wall % PER_SECOND;  // kept apart: SYSTEMTIME keeps only milliseconds
    const FILETIME local = file_time(wall - fraction);
    SYSTEMTIME local_parts{}, utc_parts{};
    FILETIME utc{};
    if (!FileTimeToSystemTime(&local, &local_parts) || !TzSpecificLocalTimeToSystemTime(nullptr, &local_parts, &utc_parts) ||
        !SystemTimeToFileTime(&utc_parts, &utc))
        return std::nullopt;
    return intervals_of(utc) + fraction;
}

}  // namespace velmor
