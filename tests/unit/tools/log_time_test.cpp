#include "velmor-ctl/log_time.hpp"

#include <gtest/gtest.h>

#include "env/log.hpp"

#include <vector>

namespace velmor::ctl {
namespace {

// Known instants: 100-ns intervals since 1601-01-01 UTC.
constexpr std::int64_t UNIX_EPOCH = 116'444'736'000'000'000;
constexpr std::int64_t DAY = 864'000'000'000;
constexpr std::int64_t SECOND = 10'000'000;

TEST(LogTime, PrefixesOfLinesAsTheLogSinkWritesThem) {
    struct Case {
        const char* line;
        std::optional<std::int64_t> intervals;
        const char* rest;  // what follows the prefix
    };
    const std::vector<Case> cases = {
        {"[SystemTime { intervals: 134411550990087275 }] core running", 134411550990087275, "core running"},
        {"[SystemTime { intervals: 0 }] ", 0, ""},
        {"[SystemTime { intervals: 9223372036854775807 }] max", 9223372036854775807, "max"},
        // Not a prefix: left as is by the caller.
        {"    Access is denied. (os error 5)", std::nullopt, nullptr},
        {"", std::nullopt, nullptr},
        {"[SystemTime { intervals:  }] x", std::nullopt, nullptr},
        {"[SystemTime { intervals: -5 }] x", std::nullopt, nullptr},
        {"[SystemTime { intervals: 12a4 }] x", std::nullopt, nullptr},
        {"[SystemTime { intervals: 9223372036854775808 }] overflow", std::nullopt, nullptr},
        {"[SystemTime { intervals: 134411550990087275 }]no blank", std::nullopt, nullptr},
        {"[SystemTime { intervals: 134411550990087275", std::nullopt, nullptr},  // cut off
        {" [SystemTime { intervals: 1 }] indented", std::nullopt, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const std::optional<LogPrefix> prefix = read_log_prefix(c.line);
        ASSERT_EQ(prefix.has_value(), c.intervals.has_value());
        if (!prefix) continue;
        EXPECT_EQ(prefix->intervals, *c.intervals);
        EXPECT_EQ(std::string_view(c.line).substr(prefix->length), c.rest);
    }
    // Whatever the log sink writes is read back.
    for (const std::int64_t intervals : {std::int64_t{0}, std::int64_t{1}, UNIX_EPOCH, std::int64_t{134411550990087275}}) {
        SCOPED_TRACE(intervals);
        const std::string line = format_log_line(intervals, "message");
        const std::optional<LogPrefix> prefix = read_log_prefix(std::string_view(line).substr(0, line.size() - 1));
        ASSERT_TRUE(prefix.has_value());
        EXPECT_EQ(prefix->intervals, intervals);
        EXPECT_EQ(line.substr(prefix->length), "message\n");
    }
}

TEST(LogTime, IsoTimesBothWaysAcrossLeapDaysAndEpochs) {
    struct Case {
        std::int64_t intervals;
        std::optional<int> offset_minutes;
        const char* shown;
    };
    const std::vector<Case> cases = {
        {0, std::nullopt, "1601-01-01T00:00:00.0000000Z"},
        {UNIX_EPOCH, std::nullopt, "1970-01-01T00:00:00.0000000Z"},
        {UNIX_EPOCH - 1, std::nullopt, "1969-12-31T23:59:59.9999999Z"},
        // 1600 was a leap year but lies before the epoch; 1700, 1800, 1900
        // were not; 2000 was.
        {DAY * 58, std::nullopt, "1601-02-28T00:00:00.0000000Z"},
        {DAY * 59, std::nullopt, "1601-03-01T00:00:00.0000000Z"},
        {UNIX_EPOCH - DAY * 25508, std::nullopt, "1900-03-01T00:00:00.0000000Z"},
        {UNIX_EPOCH - DAY * 25509, std::nullopt, "1900-02-28T00:00:00.0000000Z"},
        {UNIX_EPOCH + DAY * 11016, std::nullopt, "2000-02-29T00:00:00.0000000Z"},
        {UNIX_EPOCH + DAY * 11017, std::nullopt, "2000-03-01T00:00:00.0000000Z"},
        {UNIX_EPOCH + DAY * 19782 + SECOND * 86399 + 1234567, std::nullopt, "2024-02-29T23:59:59.1234567Z"},
        {UNIX_EPOCH + DAY * 47541, std::nullopt, "2100-03-01T00:00:00.0000000Z"},
        {UNIX_EPOCH + DAY * 47540, std::nullopt, "2100-02-28T00:00:00.0000000Z"},
        {134411550990087275, std::nullopt, "2026-12-07T22:11:39.0087275Z"},
        // Local times: the offset moves the wall clock, across a day and a leap day.
        {UNIX_EPOCH + DAY * 19782 + SECOND * 82800, 120, "2024-03-01T01:00:00.0000000+02:00"},
        {UNIX_EPOCH + DAY * 19783, -330, "2024-02-29T18:30:00.0000000-05:30"},
        {UNIX_EPOCH, 0, "1970-01-01T00:00:00.0000000+00:00"},
        // A local time before 1601 is shown in UTC.
        {0, -60, "1601-01-01T00:00:00.0000000Z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(iso_time(c.intervals, c.offset_minutes), c.shown);
        // What is printed is read back as the same instant.
        const std::optional<IsoTime> parsed = parse_iso_time(c.shown);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_TRUE(parsed->zoned);
        EXPECT_EQ(parsed->intervals, c.intervals);
    }
}

TEST(LogTime, SinceTimesAsAdministratorsWriteThem) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> intervals;
        bool zoned;
    };
    const std::vector<Case> cases = {
        {"1970-01-01", UNIX_EPOCH, false},
        {"1970-01-01T00:00", UNIX_EPOCH, false},
        {"1970-01-01 00:00:01", UNIX_EPOCH + SECOND, false},
        {"1970-01-01T00:00:00.5Z", UNIX_EPOCH + SECOND / 2, true},
        {"1970-01-01T01:00+01:00", UNIX_EPOCH, true},
        {"1601-01-01T00:00Z", 0, true},
        {"2024-02-29", UNIX_EPOCH + DAY * 19782, false},
        {"2000-02-29T00:00:00.0000001Z", UNIX_EPOCH + DAY * 11016 + 1, true},
        // Refused: impossible dates, before 1601, garbage.
        {"2023-02-29", std::nullopt, false},
        {"1900-02-29", std::nullopt, false},
        {"2024-13-01", std::nullopt, false},
        {"2024-04-31", std::nullopt, false},
        {"1600-12-31T23:59:59Z", std::nullopt, false},
        {"1601-01-01T00:30+01:00", std::nullopt, false},
        {"2024-01-01T24:00", std::nullopt, false},
        {"2024-01-01T12:60", std::nullopt, false},
        {"2024-01-01T12:00:60", std::nullopt, false},
        {"2024-01-01T12:00:00.", std::nullopt, false},
        {"2024-01-01T12:00:00.12345678", std::nullopt, false},
        {"2024-01-01T12", std::nullopt, false},
        {"2024-01-01Z1", std::nullopt, false},
        {"2024-01-01T12:00+0100", std::nullopt, false},
        {"24-01-01", std::nullopt, false},
        {"yesterday", std::nullopt, false},
        {"", std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<IsoTime> parsed = parse_iso_time(c.text);
        ASSERT_EQ(parsed.has_value(), c.intervals.has_value());
        if (!parsed) continue;
        EXPECT_EQ(parsed->intervals, *c.intervals);
        EXPECT_EQ(parsed->zoned, c.zoned);
    }
}

TEST(LogTime, FilterRewritesPrefixesAndKeepsContinuationsWithTheirLine) {
    const std::string old_line = "[SystemTime { intervals: " + std::to_string(UNIX_EPOCH) + " }] start refused: x";
    const std::string new_line = "[SystemTime { intervals: " + std::to_string(UNIX_EPOCH + SECOND) + " }] core running";
    struct Case {
        const char* name;
        std::optional<std::int64_t> since;
        bool local;
        std::vector<std::string> lines;
        std::vector<std::string> shown;
    };
    const std::vector<Case> cases = {
        {"every line, UTC", std::nullopt, false,
         {"left over from a cut line", old_line, "", "Caused by:", new_line, "[SystemTime { intervals: x }] odd"},
         {"left over from a cut line", "[1970-01-01T00:00:00.0000000Z] start refused: x", "", "Caused by:",
          "[1970-01-01T00:00:01.0000000Z] core running", "[SystemTime { intervals: x }] odd"}},
        {"since drops a line and its continuation", UNIX_EPOCH + 1, false,
         {old_line, "Caused by:", "    Access is denied.", new_line, "more"},
         {"[1970-01-01T00:00:01.0000000Z] core running", "more"}},
        {"since is inclusive", UNIX_EPOCH + SECOND, false, {new_line}, {"[1970-01-01T00:00:01.0000000Z] core running"}},
        {"local time", std::nullopt, true, {old_line}, {"[1970-01-01T01:00:00.0000000+01:00] start refused: x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogLineFilter filter(c.local ? LogLineFilter::LocalOffset([](std::int64_t) { return 60; }) : nullptr, c.since);
        std::vector<std::string> shown;
        for (const std::string& line : c.lines)
            if (auto out = filter.next(line)) shown.push_back(*out);
        EXPECT_EQ(shown, c.shown);
    }
}

}  // namespace
}  // namespace velmor::ctl
