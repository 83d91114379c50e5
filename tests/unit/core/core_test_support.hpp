#pragma once
// Helpers shared by the core and data folder tests: a folder of a test's own,
// waiting for a condition with a generous bound, and reading back the lines
// the log sink wrote.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "env/log.hpp"

#ifdef _WIN32
#include <process.h>
#define VELMOR_TEST_GETPID _getpid
#else
#include <unistd.h>
#define VELMOR_TEST_GETPID getpid
#endif

namespace velmor::testing {

// Unique within the process and across runs (Wine reuses small process ids).
inline std::string unique_suffix() {
    static const std::string run = std::to_string(VELMOR_TEST_GETPID()) + "-" + std::to_string(system_time_intervals());
    static std::atomic<int> counter{0};
    return run + "-" + std::to_string(++counter);
}

// A fresh folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir() : path_(std::filesystem::temp_directory_path() / ("velmor-test-" + unique_suffix())) {
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Polls `condition` until it holds or `bound` passes; true when it held.
inline bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Waits until a fake core run has recorded what it received in `cwd`: the
// configuration file is written first, then the arguments file, whose last
// line is "starts=N". A file merely existing may still be empty.
inline bool fake_core_recorded(const std::filesystem::path& cwd) {
    return wait_for([&] { return read_file(cwd / "fake-core-args.txt").find("\nstarts=") != std::string::npos; });
}

// The log lines written from construction on, without their time stamps.
// The process's log sink is pointed at a folder of its own the first time.
// The sink keeps the first file it opened, so a test that opens one itself
// runs in a process of its own; a capture that finds the sink writing
// elsewhere fails the test instead of checking nothing.
class LogCapture {
public:
    LogCapture() {
        static const std::filesystem::path folder = [] {
            auto f = std::filesystem::temp_directory_path() / ("velmor-test-log-" + unique_suffix());
            std::filesystem::create_directories(f);
            init_log(f);
            return f;
        }();
        file_ = folder / "velmor-helper.log";
        const std::string marker = "log capture " + unique_suffix();
        log_message(marker);
        const std::string text = read_file(file_);
        if (text.find(marker) == std::string::npos)
            ADD_FAILURE() << "the log sink writes elsewhere than " << file_.string();
        start_ = text.size();
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        const std::string text = read_file(file_);
        std::istringstream in(text.substr(std::min(start_, text.size())));
        for (std::string line; std::getline(in, line);) {
            const std::size_t cut = line.find("}] ");
            out.push_back(cut == std::string::npos ? line : line.substr(cut + 3));
        }
        return out;
    }

    bool contains(const std::string& line) const {
        for (const std::string& l : lines())
            if (l == line) return true;
        return false;
    }

    // Lines that start with `prefix`.
    std::size_t count_starting(const std::string& prefix) const {
        std::size_t n = 0;
        for (const std::string& l : lines())
            if (l.starts_with(prefix)) ++n;
        return n;
    }

private:
    std::filesystem::path file_;
    std::size_t start_ = 0;
};

}  // namespace velmor::testing
