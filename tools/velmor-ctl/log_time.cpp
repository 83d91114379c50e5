#include "velmor-ctl/log_time.hpp"

#include <charconv>
#include <chrono>

namespace velmor::ctl {
namespace {

constexpr std::int64_t PER_SECOND = 10'000'000;
constexpr std::int64_t PER_DAY = 86'400 * PER_SECOND;
// The calendar arithmetic is <chrono>'s (proleptic Gregorian); only its
// parsing is missing from the compilers we build with.
constexpr std::chrono::sys_days EPOCH_1601 = std::chrono::year{1601} / std::chrono::January / 1;

// Reads exactly `count` digits at `at`; advances past them.
std::optional<unsigned> take_digits(std::string_view text, std::size_t& at, std::size_t count) {
    if (text.size() - at < count) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    at += count;
    return value;
}

bool take(std::string_view text, std::size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

}  // namespace

std::optional<LogPrefix> read_log_prefix(std::string_view line) {
    constexpr std::string_view head = "[SystemTime { intervals: ";
    constexpr std::string_view tail = " }] ";
    if (!line.starts_with(head)) return std::nullopt;
    const std::string_view rest = line.substr(head.size());
    const std::size_t end = rest.find(' ');
    if (end == 0 || end == std::string_view::npos) return std::nullopt;
    for (std::size_t i = 0; i < end; ++i)
        if (rest[i] < '0' || rest[i] > '9') return std::nullopt;
    std::int64_t intervals = 0;
    const auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + end, intervals);
    if (ec != std::errc() || ptr != rest.data() + end) return std::nullopt;  // out of range
    if (!rest.substr(end).starts_with(tail)) return std::nullopt;
    return LogPrefix{intervals, head.size() + end + tail.size()};
}

std::optional<IsoTime> parse_iso_time(std::string_view text) {
    std::size_t at = 0;
    const auto year = take_digits(text, at, 4);
    if (!year || !take(text, at, '-')) return std::nullopt;
    const auto month = take_digits(text, at, 2);
    if (!month || !take(text, at, '-')) return std::nullopt;
    const auto day = take_digits(text, at, 2);
    const std::chrono::year_month_day date{std::chrono::year{static_cast<int>(*year)}, std::chrono::month{*month},
                                           std::chrono::day{day.value_or(0)}};
    if (!day || !date.ok()) return std::nullopt;
    std::int64_t within_day = 0;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        const auto hour = take_digits(text, at, 2);
        if (!hour || *hour > 23 || !take(text, at, ':')) return std::nullopt;
        const auto minute = take_digits(text, at, 2);
        if (!minute || *minute > 59) return std::nullopt;
        std::int64_t second = 0, fraction = 0;
        if (take(text, at, ':')) {
            const auto s = take_digits(text, at, 2);
            if (!s || *s > 59) return std::nullopt;
            second = *s;
            if (take(text, at, '.')) {
                std::size_t digits = 0;
                while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 7) {
                    fraction = fraction * 10 + (text[at] - '0');
                    ++at;
                    ++digits;
                }
                if (digits == 0) return std::nullopt;
                for (; digits < 7; ++digits) fraction *= 10;
            }
        }
        within_day = (std::int64_t{*hour} * 3600 + std::int64_t{*minute} * 60 + second) * PER_SECOND + fraction;
    }
    IsoTime result;
    std::int64_t offset_seconds = 0;
    if (take(text, at, 'Z')) {
        result.zoned = true;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const bool east = text[at] == '+';
        ++at;
        const auto hours = take_digits(text, at, 2);
        if (!hours || *hours > 23 || !take(text, at, ':')) return std::nullopt;
        const auto minutes = take_digits(text, at, 2);
        if (!minutes || *minutes > 59) return std::nullopt;
        offset_seconds = (std::int64_t{*hours} * 3600 + *minutes * 60) * (east ? 1 : -1);
        result.zoned = true;
    }
    if (at != text.size()) return std::nullopt;
    const std::int64_t days = (std::chrono::sys_days{date} - EPOCH_1601).count();
    result.intervals = days * PER_DAY + within_day - offset_seconds * PER_SECOND;
    if (days < 0 || result.intervals < 0) return std::nullopt;
    return result;
}

std::optional<std::string> LogLineFilter::next(std::string_view line) {
    const std::optional<LogPrefix> prefix = read_log_prefix(line);
    if (!prefix) {
        if (!keeping_) return std::nullopt;
        return std::string(line);
    }
    keeping_ = !since_ || prefix->intervals >= *since_;
    if (!keeping_) return std::nullopt;
    std::optional<int> offset;
    if (local_offset_) offset = local_offset_(prefix->intervals);
    std::string out = "[" + iso_time(prefix->intervals, offset) + "] ";
    out.append(line.substr(prefix->length));
    return out;
}

}  // namespace velmor::ctl
