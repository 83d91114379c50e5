#pragma once
// What a concurrent unit synchronises with: a lock, its condition waits, a
// clock, threads and sleeping. Every unit whose threads meet (the core
// record and controller, the pipe's fair shares, the start/stop lock, the
// I/O watchdog, the service lifecycle) takes these as one template
// parameter, `Sync`, and uses nothing else to wait or to tell time. The
// program passes SystemSync, plain aliases of the standard primitives at no
// cost; the native tests' interleaving explorer passes its own twin, which
// runs the same code one step at a time in virtual time. This is the one
// seam it replaces.
//
// A `Sync` provides:
//   Mutex              lockable with std::lock_guard and std::unique_lock
//   ConditionVariable  notify_one, notify_all, wait and wait_until (with and
//                      without a predicate) on std::unique_lock<Mutex>
//   Clock              a steady clock: now(), time_point, duration
//   Thread             constructed from a callable (throws std::system_error
//                      when it cannot be created), joinable, join, detach
//   sleep_for(d)       a static function that blocks the calling thread

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace velmor {

struct SystemSync {
    using Mutex = std::mutex;
    using ConditionVariable = std::condition_variable;
    using Clock = std::chrono::steady_clock;
    using Thread = std::thread;
    static void sleep_for(std::chrono::nanoseconds duration) { std::this_thread::sleep_for(duration); }
};

}  // namespace velmor
