#include "velmor-ctl/log_time.hpp"

#include "base/win.hpp"

namespace velmor::ctl {
namespace {

constexpr std::int64_t INTERVALS_PER_SECOND = 10'000'000;

FILETIME file_time(std::int64_t intervals) {
    const auto bits = static_cast<std::uint64_t>(intervals);
    return {static_cast<DWORD>(bits), static_cast<DWORD>(bits >> 32)};
}

std::int64_t intervals_of(const FILETIME& ft) {
    return static_cast<std::int64_t>((std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime);
}

}  // namespace

std::optional<std::int64_t> local_to_utc(std::int64_t wall) {
    const std::int64_t fraction = wall % INTERVALS_PER_SECOND;  // kept apart: SYSTEMTIME keeps only milliseconds
    const FILETIME local = file_time(wall - fraction);
    SYSTEMTIME local_parts{}, utc_parts{};
    FILETIME utc{};
    if (!FileTimeToSystemTime(&local, &local_parts) || !TzSpecificLocalTimeToSystemTime(nullptr, &local_parts, &utc_parts) ||
        !SystemTimeToFileTime(&utc_parts, &utc))
        return std::nullopt;
    return intervals_of(utc) + fraction;
}

}  // namespace velmor::ctl
