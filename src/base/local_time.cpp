#include "base/local_time.hpp"

#include <charconv>
#include <chrono>

namespace velmor {
namespace {

constexpr std::int64_t PER_SECOND = 10'000'000;
constexpr std::int64_t PER_DAY = 86'400 * PER_SECOND;
// The calendar arithmetic is <chrono>'s (proleptic Gregorian); only its
// formatting is missing from the compilers we build with.
constexpr std::chrono::sys_days EPOCH_1601 = std::chrono::year{1601} / std::chrono::January / 1;

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
    const std::chrono::year_month_day date{EPOCH_1601 + std::chrono::days{days}};
    std::string out;
    out.reserve(34);
    append_number(out, static_cast<int>(date.year()), 4);
    out.push_back('-');
    append_number(out, static_cast<unsigned>(date.month()), 2);
    out.push_back('-');
    append_number(out, static_cast<unsigned>(date.day()), 2);
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
