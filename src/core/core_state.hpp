#pragma once
// The one shared record of what the hosted core is doing.
//
// Every guarded field is read and written only under `mutex` (the core-state
// lock). Holders keep the critical section short: no core library call,
// sleep, thread wait, folder or thread creation under it. Log lines that
// belong to a state change are written while it is held (the log sink's lock
// nests inside). A run's own lock (CoreRun) may be taken inside it, never the
// reverse.
//
// The record, its runs and the functions over it (core_controller.hpp,
// core_thread.hpp) are templates over the primitives they synchronise with
// (`Sync`, base/sync.hpp) and the core's own calls (`Calls`: the machine
// lock, the core library's two calls, the Event Log and the log, as
// SystemCoreCalls below). The program uses the aliases at the end of each
// header; the native tests' interleaving explorer instantiates them with its
// own primitives and models.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/sync.hpp"
#include "core/machine_lock.hpp"
#include "env/event_log.hpp"

namespace velmor {

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

// The core's own calls as the program makes them. `run` names the run on
// whose behalf a call is made; only the explorer's models look at it.
struct SystemCoreCalls {
    using MachineLock = velmor::MachineLock;
    static Result<MachineLock> acquire_machine_lock(std::string_view name, std::uint64_t run);
    static Result<> run_core(std::uint64_t run, const std::string& config, const std::string& log_path,
                             const std::string& cwd);
    static void shutdown_core(std::uint64_t run_at_stop);
    static void report_event(EventId id, std::string_view text) noexcept;
    static void log(std::string_view message) noexcept;
};

// A one-shot event: set once, waited for with a deadline.
template <class Sync>
class BasicSignal {
public:
    BasicSignal() = default;
    BasicSignal(const BasicSignal&) = delete;
    BasicSignal& operator=(const BasicSignal&) = delete;

    void set() {
        {
            std::lock_guard lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }
    bool is_set() const {
        std::lock_guard lock(mutex_);
        return set_;
    }
    // Waits until set or `deadline` has passed; true when set.
    bool wait_until(typename Sync::Clock::time_point deadline) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, deadline, [this] { return set_; });
    }
    void wait() const {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return set_; });
    }

private:
    mutable typename Sync::Mutex mutex_;
    mutable typename Sync::ConditionVariable changed_;
    bool set_ = false;  // guarded by mutex_
};

// One accepted start: its number and whether its core thread has ended.
// Shared by the record, the run's core thread and any stop waiting for it.
template <class Sync>
class BasicCoreRun {
public:
    explicit BasicCoreRun(std::uint64_t number) : id(number) {}
    BasicCoreRun(const BasicCoreRun&) = delete;
    BasicCoreRun& operator=(const BasicCoreRun&) = delete;

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
    bool wait_ended_until(typename Sync::Clock::time_point deadline) const { return ended_.wait_until(deadline); }

private:
    BasicSignal<Sync> go_;
    BasicSignal<Sync> ended_;
};

// The handle of one core thread. Dropping or replacing it releases the
// thread without waiting: the thread runs on detached.
template <class Sync>
struct BasicCoreThreadHandle {
    BasicCoreThreadHandle(typename Sync::Thread t, std::shared_ptr<BasicCoreRun<Sync>> r)
        : thread(std::move(t)), run(std::move(r)) {}
    BasicCoreThreadHandle(BasicCoreThreadHandle&&) noexcept = default;
    BasicCoreThreadHandle& operator=(BasicCoreThreadHandle&& other) noexcept {
        if (this != &other) {
            if (thread.joinable()) thread.detach();
            thread = std::move(other.thread);
            run = std::move(other.run);
        }
        return *this;
    }
    ~BasicCoreThreadHandle() {
        if (thread.joinable()) thread.detach();
    }

    typename Sync::Thread thread;
    std::shared_ptr<BasicCoreRun<Sync>> run;
};

// Created once by the host with std::make_shared and shared by reference
// counting with the pipe server and every core thread; start_core takes a
// new reference for the core thread from it. `Calls` only names the core's
// calls that the functions over the record make.
template <class Sync, class Calls>
struct BasicCoreShared : std::enable_shared_from_this<BasicCoreShared<Sync, Calls>> {
    using Run = BasicCoreRun<Sync>;
    explicit BasicCoreShared(CoreTimings t = {}) : timings(t) {}
    BasicCoreShared(const BasicCoreShared&) = delete;
    BasicCoreShared& operator=(const BasicCoreShared&) = delete;

    const CoreTimings timings;
    // The machine lock's name; the program keeps the default, tests set their
    // own before the record is used so that parallel test runs do not meet.
    std::string machine_lock_name{MACHINE_LOCK_NAME};

    typename Sync::Mutex mutex;
    CoreState state = CoreState::Stopped;                    // guarded by mutex
    std::optional<std::string> last_error;                   // guarded by mutex
    std::optional<BasicCoreThreadHandle<Sync>> core_thread;  // guarded by mutex
    // Number of the latest accepted start; a core thread records its outcome
    // only while its run is this one.
    std::uint64_t current_run = 0;  // guarded by mutex
    // Runs whose core thread may still be alive, the current one included;
    // ended ones are dropped whenever the list is looked at.
    std::vector<std::shared_ptr<Run>> live_runs;  // guarded by mutex

    // The core library's shutdown acts on whatever core runs at the moment
    // it is called, so a new run's core thread is let go only while no stop
    // is inside that call: the stops count their calls here, and start_core
    // waits on `shutdown_done` until the count is zero, its run is stopped,
    // or the latest of those stops' deadlines has passed.
    int shutdowns_in_flight = 0;                         // guarded by mutex
    typename Sync::Clock::time_point shutdown_deadline;  // guarded by mutex
    typename Sync::ConditionVariable shutdown_done;
};

struct CoreSnapshot {
    std::string_view status;  // the state's text name
    std::optional<std::string> error;
};

// The state's name and a copy of the last error, read under the lock.
template <class Sync, class Calls>
CoreSnapshot core_snapshot(BasicCoreShared<Sync, Calls>& core) {
    std::lock_guard lock(core.mutex);
    return CoreSnapshot{core_state_name(core.state), core.last_error};
}

extern template class BasicSignal<SystemSync>;
extern template class BasicCoreRun<SystemSync>;
extern template struct BasicCoreShared<SystemSync, SystemCoreCalls>;
extern template CoreSnapshot core_snapshot(BasicCoreShared<SystemSync, SystemCoreCalls>&);
using Signal = BasicSignal<SystemSync>;
using CoreRun = BasicCoreRun<SystemSync>;
using CoreThreadHandle = BasicCoreThreadHandle<SystemSync>;
using CoreShared = BasicCoreShared<SystemSync, SystemCoreCalls>;

}  // namespace velmor
