#include "env/log.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace velmor {
namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path fresh_folder(const std::string& name) {
    std::random_device rd;
    const fs::path dir = fs::temp_directory_path() / (name + "-" + std::to_string(rd()));
    fs::create_directories(dir);
    return dir;
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

// The log slot is set once per process, so this one test covers the whole
// life of the sink: lines before init_log, the first init_log with an
// existing file, a second init_log, and lines from several threads.
TEST(LogSink, LifeOfTheProcessLog) {
    const fs::path first = fresh_folder("velmor-log-a");
    const fs::path second = fresh_folder("velmor-log-b");

    log_message("before init");
    EXPECT_FALSE(fs::exists(first / "velmor-helper.log"));

    {
        std::ofstream(first / "velmor-helper.log", std::ios::binary) << "earlier run\n";
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

    EXPECT_EQ(read_all(second / "velmor-helper.log"), "");

    const std::string content = read_all(first / "velmor-helper.log");
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

    // The first file stays open for the rest of the process; on Windows its
    // folder cannot go until then.
    std::error_code ignored;
    fs::remove_all(first, ignored);
    fs::remove_all(second, ignored);
}

}  // namespace
}  // namespace velmor
