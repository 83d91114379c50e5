// Standard error shows the log's lines with times people read; anything that
// is not a well-formed time prefix passes as it is.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "base/local_time.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

TEST(LogEcho, TheTimePrefixBecomesLocalIsoTimeAndNothingElseChanges) {
    constexpr std::int64_t T = 134411550990087275;
    const std::string shown = "[" + local_iso_time(T) + "] ";
    const struct {
        std::string file_line;
        std::string echoed;
    } rows[] = {
        {format_log_line(T, "service started"), shown + "service started\n"},
        {format_log_line(T, "a }] b"), shown + "a }] b\n"},
        {format_log_line(0, ""), "[" + local_iso_time(0) + "] \n"},
        // The rest of a message with line breaks, a cut or forged prefix.
        {"  second line\n", "  second line\n"},
        {"[SystemTime { intervals: 12x4 }] x\n", "[SystemTime { intervals: 12x4 }] x\n"},
        {"[SystemTime { intervals:  }] x\n", "[SystemTime { intervals:  }] x\n"},
        {"[SystemTime { intervals: 99999999999999999999 }] x", "[SystemTime { intervals: 99999999999999999999 }] x"},
        {"[SystemTime { intervals: 5", "[SystemTime { intervals: 5"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file_line);
        EXPECT_EQ(log_echo_line(row.file_line), row.echoed);
    }
    // Local time carries its offset, never "Z".
    EXPECT_NE(shown.find_first_of("+-", 24), std::string::npos) << shown;
}

// A wall time back to UTC to the 100 ns, in summer and winter (natively in a zone with daylight saving time).
TEST(LocalTime, WallTimeBackToUtc) {
#ifndef _WIN32
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
#endif
    constexpr std::int64_t MINUTE = 600'000'000;
    for (const std::int64_t t : {std::int64_t{134411550990087275}, std::int64_t{134257326001234567}})
        EXPECT_EQ(local_to_utc(t + utc_offset_minutes(t) * MINUTE), t);
#ifndef _WIN32
    EXPECT_EQ(utc_offset_minutes(134257326001234567), 120);  // summer time: +02:00
#endif
}

}  // namespace
}  // namespace velmor
