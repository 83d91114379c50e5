#include "base/local_time.hpp"

#include <charconv>

namespace velmor {
namespace {

constexpr std::int64_t PER_SECOND = 10'000'000;
constexpr std::int64_t PER_DAY = 86'400 * PER_SECOND;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t DAYS_1601_TO_1970 = 134'774;

struct Civil {
    std::int64_t year;
    unsigned month, day;
};

// The date of a day counted from 1970-01-01, proleptic Gregorian calendar.
constexpr Civil civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const auto d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const auto m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

void append_number(std::string& out, std::int64_t value, int width) {
    char digits[24];
    const auto [end, ec] = std::to_chars(std::begin(digits), std::end(digits), value);
    (void)ec;
    for (auto n = end - digits; n < width; ++n) out.push_back('0');
    out.append(digits, end);
}

}  // namespace

std::string iso_time(std::int64_t intervals, std::optional<int> offset_minutes) {
    bool local = offset_minutes.has_value();
    const int offset = offset_minutes.value_or(0);
    std::int64_t shown = intervals + std::int64_t{offset} * 60 * PER_SECOND;
    if (shown < 0) {  // a local time before 1601 cannot be written: UTC instead
        shown = intervals;
        local = false;
    }
    const std::int64_t days = shown / PER_DAY;
    std::int64_t rest = shown % PER_DAY;
    const Civil date = civil_from_days(days - DAYS_1601_TO_1970);
    std::string out;
    out.reserve(34);
    append_number(out, date.year, 4);
    out.push_back('-');
    append_number(out, date.month, 2);
    out.push_back('-');
    append_number(out, date.day, 2);
    out.push_back('T');
    append_number(out, rest / (3600 * PER_SECOND), 2);
    rest %= 3600 * PER_SECOND;
    out.push_back(':');
    append_number(out, rest / (60 * PER_SECOND), 2);
    rest %= 60 * PER_SECOND;
    out.push_back(':');
    append_number(out, rest / PER_SECOND, 2);
    out.push_back('.');
    append_number(out, rest % PER_SECOND, 7);
    if (!local) {
        out.push_back('Z');
        return out;
    }
    out.push_back(offset < 0 ? '-' : '+');
    const int magnitude = offset < 0 ? -offset : offset;
    append_number(out, magnitude / 60, 2);
    out.push_back(':');
    append_number(out, magnitude % 60, 2);
    return out;
}

}  // namespace velmor
