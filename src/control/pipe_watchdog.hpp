#pragma once
// A watchdog for the pipe server's blocking calls: once armed with a
// deadline, it calls `cancel` when the deadline passes, and again every
// `retry` until it is disarmed (the first cancel may land between two calls
// and hit nothing). Portable; the Windows side passes a cancel that aborts
// the server thread's synchronous I/O. The primitives are a parameter
// (`Sync`, base/sync.hpp) so that the interleaving explorer can run the same
// code in virtual time.

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "base/sync.hpp"

namespace velmor {

template <class Sync>
class BasicIoWatchdog {
public:
    using Clock = typename Sync::Clock;

    // Starts the watchdog's thread; throws std::system_error when it cannot.
    explicit BasicIoWatchdog(std::function<void()> cancel,
                             std::chrono::milliseconds retry = std::chrono::milliseconds(50))
        : cancel_(std::move(cancel)), retry_(retry) {
        thread_ = typename Sync::Thread([this] { watch(); });
    }
    ~BasicIoWatchdog() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    BasicIoWatchdog(const BasicIoWatchdog&) = delete;
    BasicIoWatchdog& operator=(const BasicIoWatchdog&) = delete;

    // Watches the calls made from now on until `disarm`.
    void arm(typename Clock::time_point deadline) {
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            armed_ = true;
            fired_ = false;
            deadline_ = deadline;
            // Most arms come with a deadline later than the one the thread
            // already sleeps until; waking it for those would cost a wake-up
            // per client.
            wake = deadline < sleeping_until_;
        }
        if (wake) wake_.notify_all();
    }

    // Stops watching. `cancel` runs under the watchdog's lock, so this returns
    // only after a cancel in progress has finished, and no cancel can reach a
    // call started afterwards. Returns true when the deadline passed while
    // armed. Called from the owner's thread; may block on a running cancel.
    bool disarm() {
        std::lock_guard lock(mutex_);
        const bool passed = fired_ || (armed_ && Clock::now() >= deadline_);
        armed_ = false;
        fired_ = false;
        return passed;
    }

    // True when armed and the deadline has passed.
    bool expired() const {
        std::lock_guard lock(mutex_);
        return armed_ && (fired_ || Clock::now() >= deadline_);
    }

    // The deadline watched now; none while disarmed.
    std::optional<typename Clock::time_point> deadline() const {
        std::lock_guard lock(mutex_);
        if (!armed_) return std::nullopt;
        return deadline_;
    }

private:
    void watch() {
        std::unique_lock lock(mutex_);
        while (!quit_) {
            const typename Clock::time_point now = Clock::now();
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

    std::function<void()> cancel_;
    std::chrono::milliseconds retry_;
    mutable typename Sync::Mutex mutex_;
    typename Sync::ConditionVariable wake_;
    bool armed_ = false;      // guarded by mutex_
    bool fired_ = false;      // guarded by mutex_
    bool quit_ = false;       // guarded by mutex_
    typename Clock::time_point deadline_;  // guarded by mutex_
    // Until when the watchdog's thread sleeps: an arm with a later deadline
    // need not wake it, since it looks again when it wakes by itself.
    typename Clock::time_point sleeping_until_ = Clock::time_point::max();  // guarded by mutex_
    typename Sync::Thread thread_;
};

extern template class BasicIoWatchdog<SystemSync>;
using IoWatchdog = BasicIoWatchdog<SystemSync>;

}  // namespace velmor
