#pragma once
// The start/stop lock: clients are served side by side, but the data folder
// and Wintun steps and the controller's moves never run twice at once, so
// every reply is what the state table says for the state the request found.
// A request waits for the start or stop under way only up to a bound of its
// own, and one that gives up is answered as busy. The primitives are a
// parameter so that the interleaving explorer can run the same code.

#include <chrono>
#include <mutex>

#include "base/sync.hpp"

namespace velmor {

// Called from the pipe server's threads, one per request; try_lock_for
// blocks on the holder's unlock, up to its bound.
template <class Sync>
class BasicActionLock {
public:
    BasicActionLock() = default;
    BasicActionLock(const BasicActionLock&) = delete;
    BasicActionLock& operator=(const BasicActionLock&) = delete;

    // True when taken within `bound`.
    bool try_lock_for(std::chrono::nanoseconds bound) {
        std::unique_lock lock(mutex_);
        if (!released_.wait_until(lock, Sync::Clock::now() + bound, [this] { return !held_; })) return false;
        held_ = true;
        return true;
    }

    // Every waiter takes the lock or waits on, so waking one is enough.
    void unlock() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        released_.notify_one();
    }

private:
    typename Sync::Mutex mutex_;
    typename Sync::ConditionVariable released_;
    bool held_ = false;  // guarded by mutex_
};

extern template class BasicActionLock<SystemSync>;
using ActionLock = BasicActionLock<SystemSync>;

}  // namespace velmor
