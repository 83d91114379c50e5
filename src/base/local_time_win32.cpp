#include "base/local_time.hpp"

#include "base/win.hpp"

namespace velmor {

int utc_offset_minutes(std::int64_t intervals) {
    constexpr std::int64_t PER_SECOND = 10'000'000;
    // Whole seconds: SYSTEMTIME keeps only milliseconds, and what it drops
    // would make the offset a minute short.
    const std::int64_t whole = intervals - intervals % PER_SECOND;
    const auto bits = static_cast<std::uint64_t>(whole);
    const FILETIME utc{static_cast<DWORD>(bits & 0xFFFFFFFFu), static_cast<DWORD>(bits >> 32)};
    SYSTEMTIME utc_parts{}, local_parts{};
    FILETIME local{};
    if (!FileTimeToSystemTime(&utc, &utc_parts) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc_parts, &local_parts) ||
        !SystemTimeToFileTime(&local_parts, &local))
        return 0;
    const auto local_intervals =
        static_cast<std::int64_t>((std::uint64_t{local.dwHighDateTime} << 32) | local.dwLowDateTime);
    return static_cast<int>((local_intervals - whole) / (60 * PER_SECOND));
}

}  // namespace velmor
