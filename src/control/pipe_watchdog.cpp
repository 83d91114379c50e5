#include "control/pipe_watchdog.hpp"

#include <utility>

namespace velmor {

IoWatchdog::IoWatchdog(std::function<void()> cancel, std::chrono::milliseconds retry)
    : cancel_(std::move(cancel)), retry_(retry) {
    thread_ = std::thread([this] { watch(); });
}

IoWatchdog::~IoWatchdog() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void IoWatchdog::arm(Clock::time_point deadline) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        armed_ = true;
        fired_ = false;
        deadline_ = deadline;
        // Most arms come with a deadline later than the one the thread already
        // sleeps until; waking it for those would cost a wake-up per client.
        wake = deadline < sleeping_until_;
    }
    if (wake) wake_.notify_all();
}

bool IoWatchdog::disarm() {
    std::lock_guard lock(mutex_);
    const bool passed = fired_ || (armed_ && Clock::now() >= deadline_);
    armed_ = false;
    fired_ = false;
    return passed;
}

bool IoWatchdog::expired() const {
    std::lock_guard lock(mutex_);
    return armed_ && (fired_ || Clock::now() >= deadline_);
}

std::optional<IoWatchdog::Clock::time_point> IoWatchdog::deadline() const {
    std::lock_guard lock(mutex_);
    if (!armed_) return std::nullopt;
    return deadline_;
}

void IoWatchdog::watch() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        const Clock::time_point now = Clock::now();
        if (!armed_) {
            sleeping_until_ = Clock::time_point::max();
            wake_.wait(lock);
        } else if (now < deadline_) {
            sleeping_until_ = deadline_;
            wake_.wait_until(lock, sleeping_until_);
        } else {
            fired_ = true;
            cancel_();
            sleeping_until_ = now + retry_;
            wake_.wait_until(lock, sleeping_until_);
        }
    }
}

}  // namespace velmor
