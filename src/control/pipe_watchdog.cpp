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
    {
        std::lock_guard lock(mutex_);
        armed_ = true;
        fired_ = false;
        deadline_ = deadline;
    }
    wake_.notify_all();
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

void IoWatchdog::watch() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (!armed_) {
            wake_.wait(lock);
        } else if (Clock::now() < deadline_) {
            wake_.wait_until(lock, deadline_);
        } else {
            fired_ = true;
            cancel_();
            wake_.wait_for(lock, retry_);
        }
    }
}

}  // namespace velmor
