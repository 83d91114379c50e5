#include "env/log_limit.hpp"

#include <algorithm>

namespace velmor {

LogRateLimit::LogRateLimit(std::size_t burst, std::chrono::nanoseconds refill)
    : burst_(std::max<std::size_t>(burst, 1)), refill_(std::max(refill, std::chrono::nanoseconds(1))), tokens_(burst_) {}

LogRateLimit::Decision LogRateLimit::admit(Clock::time_point now) {
    if (!started_) {
        started_ = true;
        refilled_at_ = now;
    }
    if (now > refilled_at_) {
        const auto gained = static_cast<std::size_t>((now - refilled_at_) / refill_);
        if (tokens_ + gained >= burst_) {
            tokens_ = burst_;
            refilled_at_ = now;
        } else {
            tokens_ += gained;
            refilled_at_ += refill_ * static_cast<std::int64_t>(gained);
        }
    }
    if (tokens_ == 0) {
        if (held_++ == 0) first_held_ = now;
        return {};
    }
    --tokens_;
    return Decision{true, take_summary(now)};
}

std::optional<std::string> LogRateLimit::take_summary(Clock::time_point now) {
    if (held_ == 0) return std::nullopt;
    // Whole seconds, rounded up: "in the last 0 s" would read as nothing.
    const auto span = std::chrono::ceil<std::chrono::seconds>(now - first_held_).count();
    std::string summary = std::to_string(held_) + " similar lines left out in the last " +
                          std::to_string(std::max<std::int64_t>(span, 1)) + " s";
    held_ = 0;
    return summary;
}

}  // namespace velmor
