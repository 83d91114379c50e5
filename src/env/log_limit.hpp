#pragma once
// The rate limit on log lines that clients cause: a burst of lines, then a
// few per minute. What is held back is counted and summed up in one line
// when lines flow again, or when the process stops. Portable; the log sink
// keeps one for the process and calls it under its own lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace velmor {

// Client lines written at once before the limit holds any back.
inline constexpr std::size_t CLIENT_LOG_BURST = 30;
// One more client line is allowed each time this passes (five a minute).
inline constexpr std::chrono::seconds CLIENT_LOG_REFILL{12};

class LogRateLimit {
public:
    using Clock = std::chrono::steady_clock;

    LogRateLimit(std::size_t burst = CLIENT_LOG_BURST,
                 std::chrono::nanoseconds refill = CLIENT_LOG_REFILL);

    struct Decision {
        bool write = false;
        // "N similar lines left out in the last M s", to be written before
        // the line; only when the line is written and some were held back.
        std::optional<std::string> summary;
    };

    // Whether a client line at `now` is written or held back.
    Decision admit(Clock::time_point now);

    // The summary of what has been held back since the last one, if any, and
    // a fresh count; for the end of the process.
    std::optional<std::string> take_summary(Clock::time_point now);

    std::uint64_t held_back() const { return held_; }

private:
    std::size_t burst_;
    std::chrono::nanoseconds refill_;
    std::size_t tokens_;
    Clock::time_point refilled_at_{};  // when tokens_ was last brought up to date
    bool started_ = false;
    std::uint64_t held_ = 0;
    Clock::time_point first_held_{};
};

}  // namespace velmor
