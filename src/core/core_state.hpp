#pragma once
// The one shared record of what the hosted core is doing.
//
// Every guarded field is read and written only under `mutex` (the core-state
// lock). Holders keep the critical section short: no core library call,
// sleep, thread wait, folder or thread creation under it. Log lines that
// belong to a state change are written while it is held (the log sink's lock
// nests inside). A run's own lock (CoreRun) may be taken inside it, never the
// reverse.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/core_sync.hpp"
#include "core/machine_lock.hpp"

namespace velmor {
inline namespace VELMOR_CORE_NAMESPACE {

enum class CoreState : std::uint8_t { Stopped = 0, Starting = 1, Running = 2, Stopping = 3, Failed = 4 };

// "stopped", "starting", "running", "stopping" or "failed".
std::string_view core_state_name(CoreState state);

// The controller's delays; the program uses the defaults, tests may shorten them.
struct CoreTimings {
    std::chrono::nanoseconds start_check_delay = std::chrono::seconds(1) + std::chrono::nanoseconds(500'000'000);
    std::chrono::nanoseconds stop_timeout = std::chrono::seconds(10);
    // How long a start waits for its file and library work, and a start or
    // stop for the one under way before it: past them the request is
    // answered with an error instead of holding its pipe thread.
    std::chrono::nanoseconds prepare_timeout = std::chrono::seconds(10);
    std::chrono::nanoseconds action_wait = std::chrono::seconds(15);
};

// A one-shot event: set once, waited for with a deadline.
class Signal {
public:
    Signal() = default;
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    void set();
    bool is_set() const;
    // Waits until set or `deadline` has passed; true when set.
    bool wait_until(core_sync::Clock::time_point deadline) const;
    void wait() const;

private:
    mutable core_sync::Mutex mutex_;
    mutable core_sync::ConditionVariable changed_;
    bool set_ = false;  // guarded by mutex_
};

// One accepted start: its number and whether its core thread has ended.
// Shared by the record, the run's core thread and any stop waiting for it.
class CoreRun {
public:
    explicit CoreRun(std::uint64_t number) : id(number) {}
    CoreRun(const CoreRun&) = delete;
    CoreRun& operator=(const CoreRun&) = delete;

    const std::uint64_t id;
    // Whether its core thread has decided to enter the core library; guarded
    // by the core-state lock (CoreShared::mutex).
    bool entered = false;

    // Given by start_core once the run's thread handle is stored: the core
    // thread enters the core library only after it, so that any stop that
    // may find the run's core in the library finds its handle too.
    void let_go() { go_.set(); }
    void wait_for_go() const { go_.wait(); }

    // Called once by the run's core thread as its last act (after its outcome
    // is recorded and the machine lock released), or by start_core when the
    // thread could not be created.
    void mark_ended() { ended_.set(); }
    bool ended() const { return ended_.is_set(); }
    // Waits until the thread has ended or `deadline` has passed; true when ended.
    bool wait_ended_until(core_sync::Clock::time_point deadline) const { return ended_.wait_until(deadline); }

private:
    Signal go_;
    Signal ended_;
};

// The handle of one core thread. Dropping or replacing it releases the
// thread without waiting: the thread runs on detached.
struct CoreThreadHandle {
    CoreThreadHandle(core_sync::Thread t, std::shared_ptr<CoreRun> r) : thread(std::move(t)), run(std::move(r)) {}
    CoreThreadHandle(CoreThreadHandle&&) noexcept = default;
    CoreThreadHandle& operator=(CoreThreadHandle&& other) noexcept {
        if (this != &other) {
            if (thread.joinable()) thread.detach();
            thread = std::move(other.thread);
            run = std::move(other.run);
        }
        return *this;
    }
    ~CoreThreadHandle() {
        if (thread.joinable()) thread.detach();
    }

    core_sync::Thread thread;
    std::shared_ptr<CoreRun> run;
};

// Created once by the host with std::make_shared and shared by reference
// counting with the pipe server and every core thread; start_core takes a
// new reference for the core thread from it.
struct CoreShared : std::enable_shared_from_this<CoreShared> {
    explicit CoreShared(CoreTimings t = {}) : timings(t) {}
    CoreShared(const CoreShared&) = delete;
    CoreShared& operator=(const CoreShared&) = delete;

    const CoreTimings timings;
    // The machine lock's name; the program keeps the default, tests set their
    // own before the record is used so that parallel test runs do not meet.
    std::string machine_lock_name{MACHINE_LOCK_NAME};

    core_sync::Mutex mutex;
    CoreState state = CoreState::Stopped;         // guarded by mutex
    std::optional<std::string> last_error;        // guarded by mutex
    std::optional<CoreThreadHandle> core_thread;  // guarded by mutex
    // Number of the latest accepted start; a core thread records its outcome
    // only while its run is this one.
    std::uint64_t current_run = 0;                      // guarded by mutex
    // Runs whose core thread may still be alive, the current one included;
    // ended ones are dropped whenever the list is looked at.
    std::vector<std::shared_ptr<CoreRun>> live_runs;    // guarded by mutex

    // The core library's shutdown acts on whatever core runs at the moment
    // it is called, so a new run's core thread is let go only while no stop
    // is inside that call: the stops count their calls here, and start_core
    // waits on `shutdown_done` until the count is zero, its run is stopped,
    // or the latest of those stops' deadlines has passed.
    int shutdowns_in_flight = 0;                     // guarded by mutex
    core_sync::Clock::time_point shutdown_deadline;  // guarded by mutex
    core_sync::ConditionVariable shutdown_done;
};

struct CoreSnapshot {
    std::string_view status;  // the state's text name
    std::optional<std::string> error;
};

// The state's name and a copy of the last error, read under the lock.
CoreSnapshot core_snapshot(CoreShared& core);

}  // namespace VELMOR_CORE_NAMESPACE
}  // namespace velmor
