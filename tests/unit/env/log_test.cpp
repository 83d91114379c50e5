#include "env/log.hpp"
#include "env/log_limit.hpp"
#include "env/log_writer.hpp"
#include "unit/core/core_test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "base/win.hpp"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace velmor {
namespace {

namespace fs = std::filesystem;
using testing::read_file;

// A file of the helper's own making: nobody else may open it.
void write_own(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
    fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
}

std::size_t count_of(const std::string& text, std::string_view part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// A reader's handle on `path`: on Windows one opened for its attributes
// alone and without sharing, which anyone who may list the folder can open.
std::shared_ptr<void> hold_for_attributes(const fs::path& path) {
#ifdef _WIN32
    const HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::shared_ptr<void>(h, [](HANDLE held) { CloseHandle(held); });
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::shared_ptr<void>(new int(fd), [](void* held) {
        ::close(*static_cast<int*>(held));
        delete static_cast<int*>(held);
    });
#endif
}

TEST(LogLine, FormatToTheByte) {
    EXPECT_EQ(format_log_line(133'781'234'567'890'123, "core running"),
              "[SystemTime { intervals: 133781234567890123 }] core running\n");
    EXPECT_EQ(format_log_line(1, ""), "[SystemTime { intervals: 1 }] \n");
    EXPECT_EQ(format_log_line(42, "a\nb\r"), "[SystemTime { intervals: 42 }] a\nb\r\n");
    EXPECT_EQ(format_log_line(7, "core thread: machine lock busy \xE2\x80\x94 refusing double-start"),
              "[SystemTime { intervals: 7 }] core thread: machine lock busy \xE2\x80\x94 refusing double-start\n");
}

TEST(LogLine, ClockIsWindowsFileTime) {
    // 2020-01-01 and 2100-01-01 in 100-ns intervals since 1601.
    const std::int64_t now = system_time_intervals();
    EXPECT_GT(now, 132'223'104'000'000'000);
    EXPECT_LT(now, 157'469'184'000'000'000);
    EXPECT_EQ(std::to_string(now).size(), 18u);
}

TEST(LogRateLimit, BurstThenAFewAMinuteWithASummaryWhenLinesFlowAgain) {
    using namespace std::chrono_literals;
    const LogRateLimit::Clock::time_point t0{};
    LogRateLimit limit(3, 12s);
    struct Step {
        std::chrono::milliseconds at;
        bool written;
        const char* summary;  // before the line, or null
    };
    const Step steps[] = {
        {0ms, true, nullptr},      {0ms, true, nullptr},   {1ms, true, nullptr},  // the burst
        {2ms, false, nullptr},     {5s, false, nullptr},   {11s, false, nullptr},
        {12s, true, "3 similar lines left out in the last 12 s"},                  // one refilled
        {12s, false, nullptr},
        {24s, true, "1 similar lines left out in the last 12 s"},
        {24s + 36s, true, nullptr}, {60s, true, nullptr},  // a quiet spell refills, at most the burst
        {60s, true, nullptr},      {60s, false, nullptr},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        const LogRateLimit::Decision d = limit.admit(t0 + steps[i].at);
        EXPECT_EQ(d.write, steps[i].written);
        EXPECT_EQ(d.summary.value_or(""), steps[i].summary ? steps[i].summary : "");
    }
    // At the end of the process; a span under a second reads "1 s", never "0 s".
    EXPECT_EQ(limit.take_summary(t0 + 60s).value_or(""), "1 similar lines left out in the last 1 s");
    EXPECT_FALSE(limit.take_summary(t0 + 62s));
}

// A file made just under the cap, then lines: the old file whole in .log.1,
// the new one from the next line on, nothing lost or split.
TEST(LogWriter, RotatesPastTheCapIntoLogDotOne) {
    const testing::TempDir dir;
    const fs::path& folder = dir.path();
    const fs::path file = folder / "velmor-helper.log";
    const fs::path old_file = folder / "velmor-helper.log.1";
    {
        write_own(old_file, "older rotation\n");
        write_own(file, std::string(90, 'e') + "\n");
    }
    {
        LogWriter writer(file, 100);
        writer.write_line("a23456789\n");  // 101 bytes with it: rotated first
        writer.write_line("b23456789\n");
        EXPECT_EQ(read_file(old_file), std::string(90, 'e') + "\n");
        EXPECT_EQ(read_file(file), "a23456789\nb23456789\n");
        // A line longer than the cap gets a file of its own.
        writer.write_line(std::string(200, 'x') + "\n");
        EXPECT_EQ(read_file(old_file), "a23456789\nb23456789\n");
        EXPECT_EQ(read_file(file), std::string(200, 'x') + "\n");
        writer.write_line("c\n");
        EXPECT_EQ(read_file(old_file), std::string(200, 'x') + "\n");
        EXPECT_EQ(read_file(file), "c\n");
        // The size is read again before a rotation: a file that someone
        // emptied meanwhile is not rotated early.
        std::ofstream(file, std::ios::binary | std::ios::trunc).close();
        writer.write_line(std::string(98, 'y') + "\n");
        EXPECT_EQ(read_file(old_file), std::string(200, 'x') + "\n");
        EXPECT_EQ(read_file(file), std::string(98, 'y') + "\n");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << "c\n";
    }
    {
        // Reopened by a later process: the size on disk counts.
        LogWriter writer(file, 10);
        writer.write_line("d2345678\n");
        EXPECT_EQ(read_file(old_file), "c\n");
        EXPECT_EQ(read_file(file), "d2345678\n");
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

// What others do to the file costs lines only while they do it: an open
// that fails is tried again at the next line; a rotation that fails keeps
// appending, is tried again every 64 KiB, and past twice the cap one line
// says so and nothing more is written. Each spell is reported once.
TEST(LogWriter, FaultsCostLinesOnlyWhileTheyLast) {
    const testing::TempDir dir;
    const fs::path& folder = dir.path();
    const fs::path file = folder / "velmor-helper.log";
    const fs::path old_file = folder / "velmor-helper.log.1";
    constexpr std::uint64_t CAP = 100 * 1024;
    const std::string kib = std::string(1023, 'k') + "\n";
    const auto block_rotation = [&] {
        fs::remove_all(old_file);
        fs::create_directories(old_file / "held");
    };

    fs::create_directory(file);  // the open fails
    LogWriter writer(file, CAP);
    // The event's text; a file that cannot be written is an error event.
    const auto unwritable = [&] {
        const std::optional<LogEvent> event = writer.take_unwritable();
        if (!event) return std::string();
        EXPECT_EQ(event->id, EventId::log_not_writable);
        return event->text;
    };
    EXPECT_TRUE(unwritable().starts_with("log file not writable: " + file.string() + ": "));
    writer.write_line("lost\n");
    EXPECT_FALSE(writer.take_unwritable());
    fs::remove(file);
    writer.write_line("found\n");
    EXPECT_EQ(read_file(file), "found\n");

    block_rotation();
    for (int i = 0; i < 100; ++i) writer.write_line(kib);  // the last one passes the cap: appended
    EXPECT_EQ(fs::file_size(file), 6 + 100 * kib.size());
    fs::remove_all(old_file);
    for (int i = 0; i < 63; ++i) writer.write_line(kib);  // 64 KiB offered since the failed try
    EXPECT_FALSE(fs::exists(old_file));
    writer.write_line("rotated\n");
    EXPECT_EQ(fs::file_size(old_file), 6 + 163 * kib.size());
    EXPECT_EQ(read_file(file), "rotated\n");
    EXPECT_FALSE(writer.take_unwritable());

    block_rotation();
    for (int i = 0; i < 260; ++i) writer.write_line(kib);
    const std::string capped = read_file(file);
    EXPECT_EQ(count_of(capped, kib), 199u);  // up to twice the cap, then one line
    EXPECT_TRUE(capped.ends_with("); no more lines are written until it can be\n"));
    EXPECT_EQ(count_of(capped, "] log file full: it cannot be rotated ("), 1u);
    EXPECT_TRUE(unwritable().find(": full and cannot be rotated: ") != std::string::npos);
    EXPECT_FALSE(writer.take_unwritable());

    // Lines left out count as offered: the next try comes within 64 KiB.
    fs::remove_all(old_file);
    int offered = 0;
    while (!fs::exists(old_file) && offered < 65) writer.write_line(kib), ++offered;
    EXPECT_LE(offered, 64);
    EXPECT_EQ(read_file(old_file), capped);
    EXPECT_EQ(read_file(file), kib);

    // A rotation ends the hard cap's spell: the next one is said and
    // reported again.
    block_rotation();
    for (int i = 0; i < 260; ++i) writer.write_line(kib);
    EXPECT_EQ(count_of(read_file(file), "] log file full: it cannot be rotated ("), 1u);
    EXPECT_TRUE(unwritable().find(": full and cannot be rotated: ") != std::string::npos);

    // A reader's handle on the rotated file (anyone who may list the folder
    // can open one for its attributes) neither stops a rotation nor costs a
    // line at the hard cap.
    fs::remove_all(old_file);
    for (int i = 0; i < 65 && !fs::exists(old_file); ++i) writer.write_line(kib);
    ASSERT_TRUE(fs::is_regular_file(old_file));
    const std::size_t before = count_of(read_file(file), kib);
    {
        const std::shared_ptr<void> reader = hold_for_attributes(old_file);
        ASSERT_TRUE(reader);
        for (int i = 0; i < 150; ++i) writer.write_line(kib);
        const std::string both = read_file(old_file) + read_file(file);
        EXPECT_EQ(count_of(both, "] log file full"), 0u) << "the rotated file held is replaced";
        EXPECT_EQ(count_of(both, kib), before + 150) << "no line lost";
        EXPECT_FALSE(writer.take_unwritable());
    }
    // The log renamed or removed under the writer (another writer's
    // rotation): the next line goes to the file its path names, and the
    // file renamed keeps only what was written before.
    const std::pair<const char*, std::function<void()>> under_the_writer[] = {
        {"renamed to the rotated name", [&] { fs::rename(file, old_file); }},
        {"removed", [&] { fs::remove(file); }},
        {"renamed, and a file of the other writer's in its place",
         [&] {
             fs::rename(file, old_file);
             write_own(file, "theirs\n");
         }},
    };
    for (const auto& [label, act] : under_the_writer) {
        SCOPED_TRACE(label);
        writer.write_line("before\n");
        act();
        const std::string previous = read_file(old_file);
        const std::string expected = read_file(file) + "after\n";
        writer.write_line("after\n");
        EXPECT_EQ(read_file(file), expected);
        EXPECT_EQ(read_file(old_file), previous);
    }
    std::size_t left = 0;
    for (const auto& entry : fs::directory_iterator(folder)) left += entry.path() != file && entry.path() != old_file;
    EXPECT_EQ(left, 0u) << "the old rotated file set aside is removed";
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

// The log slot is set once per process, so this one test covers the whole
// life of the sink: lines before init_log, the first init_log with an
// existing file, a second init_log, and lines from several threads.
TEST(LogSink, LifeOfTheProcessLog) {
    // The first file stays open for the rest of the process; on Windows its
    // folder cannot go until then.
    const testing::TempDir first_dir, second_dir;
    const fs::path& first = first_dir.path();
    const fs::path& second = second_dir.path();

    log_message("before init");
    EXPECT_FALSE(fs::exists(first / "velmor-helper.log"));

    {
        write_own(first / "velmor-helper.log", "earlier run\n");
    }
    // A trailing separator yields the same file.
    init_log(first.string() + "/");
    init_log(second);
    EXPECT_TRUE(fs::exists(second / "velmor-helper.log"));

    constexpr int THREADS = 4;
    constexpr int LINES = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            // Long lines, so that an interleaving would show.
            const std::string pad(3000, static_cast<char>('a' + t));
            for (int i = 0; i < LINES; ++i) log_message("t" + std::to_string(t) + " " + std::to_string(i) + " " + pad);
        });
    }
    for (auto& th : threads) th.join();

    EXPECT_EQ(read_file(second / "velmor-helper.log"), "");

    const std::string content = read_file(first / "velmor-helper.log");
    ASSERT_TRUE(content.starts_with("earlier run\n"));
    std::istringstream lines(content.substr(12));
    std::map<int, int> next;  // per thread, the next expected line number
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        // "[SystemTime { intervals: " 18 digits " }] t" T " " N " " padding
        ASSERT_TRUE(line.starts_with("[SystemTime { intervals: ")) << line.substr(0, 80);
        const std::string digits = line.substr(25, 18);
        ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << line.substr(0, 80);
        ASSERT_EQ(line.substr(43, 5), " }] t") << line.substr(0, 80);
        std::istringstream fields(line.substr(48));
        int t = -1, i = -1;
        std::string pad;
        fields >> t >> i >> pad;
        ASSERT_TRUE(t >= 0 && t < THREADS) << line.substr(0, 80);
        EXPECT_EQ(i, next[t]++);
        EXPECT_EQ(pad, std::string(3000, static_cast<char>('a' + t)));
        ++count;
    }
    EXPECT_EQ(count, THREADS * LINES);
    EXPECT_EQ(content.back(), '\n');

    // Denials have a budget of their own: spent whole, client lines are
    // still written.
    for (std::size_t i = 0; i < CLIENT_LOG_BURST; ++i) log_denial_message("denial");
    log_client_message("a client line after every denial");
    const std::string after = read_file(first / "velmor-helper.log").substr(content.size());
    EXPECT_EQ(count_of(after, "] denial\n"), CLIENT_LOG_BURST);
    EXPECT_EQ(count_of(after, "] a client line after every denial\n"), 1u);

}

}  // namespace
}  // namespace velmor
