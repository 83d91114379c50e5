#pragma once
// The interleaving explorer's side of the controller's synchronisation seam
// (core/core_sync.hpp): every operation is one step of a deterministic
// scheduler (core_controller_explorer_posix_test.cpp) that lets exactly one
// thread run at a time and chooses who runs next; time is virtual and moves
// only when the scheduler says so. The core library and the machine lock are
// the explorer's models.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.hpp"

namespace velmor::explorer {

struct VirtualClock {
    using rep = std::int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<VirtualClock>;
    static constexpr bool is_steady = true;
    static time_point now();
};

class Mutex {
public:
    void lock();
    void unlock();

private:
    int owner_ = -1;
};

class ConditionVariable {
public:
    void notify_all();
    void notify_one() { notify_all(); }
    // No spurious wake-ups: only a notification or the deadline ends a wait.
    std::cv_status wait_until(std::unique_lock<Mutex>& lock, VirtualClock::time_point deadline);
    template <class Predicate>
    bool wait_until(std::unique_lock<Mutex>& lock, VirtualClock::time_point deadline, Predicate ready) {
        while (!ready())
            if (wait_until(lock, deadline) == std::cv_status::timeout) return ready();
        return true;
    }
};

class Thread {
public:
    Thread() = default;
    template <class F>
    explicit Thread(F&& body) {
        auto owned = std::make_shared<std::decay_t<F>>(std::forward<F>(body));
        id_ = spawn([owned] { (*owned)(); });
    }
    Thread(Thread&& other) noexcept : id_(std::exchange(other.id_, -1)) {}
    Thread& operator=(Thread&& other) noexcept {
        id_ = std::exchange(other.id_, -1);
        return *this;
    }
    ~Thread() = default;
    bool joinable() const { return id_ >= 0; }
    void join();
    void detach() { id_ = -1; }

private:
    static int spawn(std::function<void()> body);
    int id_ = -1;
};

class MachineLock {
public:
    explicit MachineLock(int holder) : holder_(holder) {}
    MachineLock(MachineLock&& other) noexcept : holder_(std::exchange(other.holder_, -1)) {}
    MachineLock& operator=(MachineLock&&) = delete;
    ~MachineLock();

private:
    int holder_;
};

void sleep_for(std::chrono::nanoseconds duration);
std::optional<MachineLock> acquire_machine_lock(std::string_view name, std::uint64_t run);
Result<> run_core(std::uint64_t run, const std::string& config, const std::string& log_path, const std::string& cwd);
void shutdown_core(std::uint64_t run_at_stop);

}  // namespace velmor::explorer

namespace velmor::core_sync {
using Mutex = explorer::Mutex;
using ConditionVariable = explorer::ConditionVariable;
using Clock = explorer::VirtualClock;
using Thread = explorer::Thread;
using MachineLock = explorer::MachineLock;
using explorer::acquire_machine_lock;
using explorer::run_core;
using explorer::shutdown_core;
using explorer::sleep_for;
}  // namespace velmor::core_sync

namespace velmor {
inline namespace explored {
// The controller's log lines go into the explorer's trace.
void log_message(std::string_view message) noexcept;
}  // namespace explored
}  // namespace velmor
