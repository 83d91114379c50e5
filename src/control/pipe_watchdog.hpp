#pragma once
// A watchdog for the pipe server's blocking calls: once armed with a
// deadline, it calls `cancel` when the deadline passes, and again every
// `retry` until it is disarmed (the first cancel may land between two calls
// and hit nothing). Portable; the Windows side passes a cancel that aborts
// the server thread's synchronous I/O.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace velmor {

class IoWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the watchdog's thread; throws std::system_error when it cannot.
    explicit IoWatchdog(std::function<void()> cancel,
                        std::chrono::milliseconds retry = std::chrono::milliseconds(50));
    ~IoWatchdog();
    IoWatchdog(const IoWatchdog&) = delete;
    IoWatchdog& operator=(const IoWatchdog&) = delete;

    // Watches the calls made from now on until `disarm`.
    void arm(Clock::time_point deadline);

    // Stops watching. `cancel` runs under the watchdog's lock, so this returns
    // only after a cancel in progress has finished, and no cancel can reach a
    // call started afterwards. Returns true when the deadline passed while
    // armed. Called from the owner's thread; may block on a running cancel.
    bool disarm();

    // True when armed and the deadline has passed.
    bool expired() const;

    // The deadline watched now; none while disarmed.
    std::optional<Clock::time_point> deadline() const;

private:
    void watch();

    std::function<void()> cancel_;
    std::chrono::milliseconds retry_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool armed_ = false;      // guarded by mutex_
    bool fired_ = false;      // guarded by mutex_
    bool quit_ = false;       // guarded by mutex_
    Clock::time_point deadline_;  // guarded by mutex_
    // Until when the watchdog's thread sleeps: an arm with a later deadline
    // need not wake it, since it looks again when it wakes by itself.
    Clock::time_point sleeping_until_ = Clock::time_point::max();  // guarded by mutex_
    std::thread thread_;
};

}  // namespace velmor
