#include "base/local_time.hpp"

#include <time.h>

namespace velmor {

int utc_offset_minutes(std::int64_t intervals) {
    // Seconds from 1601-01-01 to 1970-01-01.
    constexpr std::int64_t EPOCH_SECONDS = 11'644'473'600;
    const auto seconds = static_cast<time_t>(intervals / 10'000'000 - EPOCH_SECONDS);
    tm parts{};
    if (localtime_r(&seconds, &parts) == nullptr) return 0;
    return static_cast<int>(parts.tm_gmtoff / 60);
}

}  // namespace velmor
