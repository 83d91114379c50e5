#include "core/core_controller.hpp"

#include <algorithm>
#include <new>
#include <atomic>
#include <system_error>
#include <utility>
#include <vector>

#include "core/core_library.hpp"
#include "core/core_thread.hpp"
#include "env/data_folder.hpp"
#include "env/log.hpp"

namespace velmor {
inline namespace VELMOR_CORE_NAMESPACE {
namespace {

using Clock = core_sync::Clock;
using RunList = std::vector<std::shared_ptr<CoreRun>>;

std::atomic<int> g_thread_failures{0};

template <class F>
core_sync::Thread spawn_thread(F&& body) {
    int left = g_thread_failures.load();
    while (left > 0) {
        if (g_thread_failures.compare_exchange_weak(left, left - 1))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return core_sync::Thread(std::forward<F>(body));
}

// Under the core-state lock.
void drop_ended_runs(RunList& runs) {
    std::erase_if(runs, [](const std::shared_ptr<CoreRun>& run) { return run->ended(); });
}

bool all_ended_by(const RunList& runs, Clock::time_point deadline) {
    return std::all_of(runs.begin(), runs.end(),
                       [deadline](const std::shared_ptr<CoreRun>& run) { return run->wait_ended_until(deadline); });
}

std::atomic<void (*)()> g_before_shutdown{nullptr};

// Asks the core to shut down on behalf of the stop made while `run_at_stop`
// was the latest run, unless a newer start has been accepted since: the call
// would then reach the new core. The check and the count of calls in flight
// are one step under the core-state lock, and a core thread enters the core
// only while that count is zero, so the call can reach no newer core.
void shutdown_for_stop(const std::weak_ptr<CoreShared>& record, std::uint64_t run_at_stop,
                       Clock::time_point deadline) {
    const std::shared_ptr<CoreShared> core = record.lock();
    if (!core) return;
    {
        std::lock_guard lock(core->mutex);
        if (core->current_run != run_at_stop) return;
        ++core->shutdowns_in_flight;
        core->shutdown_deadline = std::max(core->shutdown_deadline, deadline);
    }
    if (void (*hook)() = g_before_shutdown.load(); hook != nullptr) hook();
    core_sync::shutdown_core(run_at_stop);
    {
        std::lock_guard lock(core->mutex);
        --core->shutdowns_in_flight;
    }
    core->shutdown_done.notify_all();
}

// Asks the core to shut down, again every SHUTDOWN_REPEAT until the awaited
// threads end, a newer start is accepted or `deadline` passes. `asked` is set
// once the first request has returned (or was not needed).
void ask_until_ended(const std::weak_ptr<CoreShared>& record, std::uint64_t run_at_stop, const RunList& awaited,
                     Clock::time_point deadline, Signal& asked) {
    for (;;) {
        shutdown_for_stop(record, run_at_stop, deadline);
        asked.set();
        const Clock::time_point next = std::min(Clock::now() + SHUTDOWN_REPEAT, deadline);
        if (all_ended_by(awaited, next) || Clock::now() >= deadline) return;
        const std::shared_ptr<CoreShared> core = record.lock();
        if (!core) return;
        std::lock_guard lock(core->mutex);
        if (core->current_run != run_at_stop) return;
    }
}

// The joiner of one stop, on a thread of its own so that a shutdown call that
// blocks holds up nothing; then waits without limit for the core thread it
// owns. Touches only its handle, the runs and the shutdown count.
void join_stopped_core(std::weak_ptr<CoreShared> record, std::uint64_t run_at_stop,
                       std::optional<CoreThreadHandle> handle, RunList awaited, Clock::time_point deadline,
                       std::shared_ptr<Signal> asked) {
    ask_until_ended(record, run_at_stop, awaited, deadline, *asked);
    if (handle && handle->thread.joinable()) handle->thread.join();
}

std::string thread_failure(std::string_view what, const std::system_error& e) {
    return std::string(what) + " could not be created: " + e.code().message();
}

// Under the core-state lock.
Result<> start_refusal(CoreState state) {
    switch (state) {
        case CoreState::Starting:
        case CoreState::Running: return fail("core already " + std::string(core_state_name(state)));
        case CoreState::Stopping: return fail("core is stopping");
        case CoreState::Stopped:
        case CoreState::Failed: break;
    }
    return {};
}

}  // namespace

Result<> check_start_allowed(CoreShared& core) {
    std::lock_guard lock(core.mutex);
    return start_refusal(core.state);
}

Result<> start_core(CoreShared& core, std::string config, std::filesystem::path service_data_dir,
                    std::filesystem::path core_log_path) {
    std::shared_ptr<CoreShared> shared = core.weak_from_this().lock();
    if (!shared) return fail("core record is not shared");

    std::shared_ptr<CoreRun> run;
    {
        std::lock_guard lock(core.mutex);
        if (Result<> allowed = start_refusal(core.state); !allowed) return allowed;
        // What may fail for want of memory comes before the state changes: a
        // record left in Starting would refuse every later start.
        drop_ended_runs(core.live_runs);
        core.live_runs.reserve(core.live_runs.size() + 1);
        run = std::make_shared<CoreRun>(core.current_run + 1);
        core.state = CoreState::Starting;
        core.last_error.reset();
        ++core.current_run;
        core.live_runs.push_back(run);
    }
    // An older core thread still waiting to enter the core has no run now.
    core.shutdown_done.notify_all();

    core_sync::Thread thread;
    std::string thread_error;
    try {
        (void)create_folder_all(core_log_path.parent_path());
        thread = spawn_thread([args = CoreThreadArgs{shared, run, std::move(service_data_dir), std::move(core_log_path),
                                                     std::move(config)}]() mutable { run_core_thread(std::move(args)); });
    } catch (const std::system_error& e) {
        thread_error = thread_failure("core thread", e);
    } catch (const std::bad_alloc&) {
        thread_error = "core thread could not be created: out of memory";
    }
    if (!thread.joinable()) {
        const std::string& message = thread_error;
        run->mark_ended();
        std::lock_guard lock(core.mutex);
        drop_ended_runs(core.live_runs);
        if (core.current_run == run->id && core.state == CoreState::Starting) {
            core.state = CoreState::Failed;
            core.last_error = message;
        }
        log_message(message);
        return fail(message);
    }

    {
        std::lock_guard lock(core.mutex);
        // An earlier handle is released unjoined here.
        core.core_thread = CoreThreadHandle(std::move(thread), run);
    }

    core_sync::sleep_for(core.timings.start_check_delay);

    std::unique_lock lock(core.mutex);
    // The core thread may still be waiting for an earlier stop's shutdown
    // request to leave the library. The reply waits for its decision, at most
    // until that stop's deadline, so that a start reported running has a core
    // that entered the library, and a refused one says so.
    const auto undecided = [&] {
        return core.state == CoreState::Starting && core.current_run == run->id && core.entered_run != run->id &&
               core.shutdowns_in_flight > 0;
    };
    while (undecided() && Clock::now() < core.shutdown_deadline)
        core.shutdown_done.wait_until(lock, core.shutdown_deadline);
    if (undecided()) {
        // The request has outlived its stop's deadline: the core thread
        // refuses as well when it looks.
        core.state = CoreState::Failed;
        core.last_error = std::string(SHUTDOWN_BUSY_ERROR);
        log_message("core thread: an earlier core is still shutting down \u2014 refusing start");
    }
    switch (core.state) {
        case CoreState::Failed: return fail(core.last_error.value_or("core start failed"));
        case CoreState::Starting:
            core.state = CoreState::Running;
            log_message("core running");
            return {};
        case CoreState::Stopped:
        case CoreState::Running:
        case CoreState::Stopping: return {};
    }
    return {};
}

Result<> stop_core(CoreShared& core) {
    std::optional<CoreThreadHandle> handle;
    RunList awaited;
    std::uint64_t run_at_stop = 0;
    bool no_thread = false;
    {
        std::lock_guard lock(core.mutex);
        drop_ended_runs(core.live_runs);
        if (core.state == CoreState::Stopped || core.state == CoreState::Failed) {
            if (core.live_runs.empty()) {
                core.state = CoreState::Stopped;
                return {};
            }
            // A core thread of an earlier run outlived its stop: this stop
            // waits for it like any other.
        } else if (!core.core_thread) {
            // Between a start's state check and the storing of its handle, or
            // while another stop waits.
            no_thread = true;
        }
        awaited = core.live_runs;  // may fail for want of memory: before the state changes
        core.state = CoreState::Stopping;
        handle = std::exchange(core.core_thread, std::nullopt);
        run_at_stop = core.current_run;
    }
    // A core thread still waiting to enter the core ends now instead.
    core.shutdown_done.notify_all();

    const Clock::time_point deadline = Clock::now() + core.timings.stop_timeout;
    const std::weak_ptr<CoreShared> record = core.weak_from_this();
    const auto asked = std::make_shared<Signal>();

    try {
        spawn_thread([record, run_at_stop, handle = std::move(handle), awaited, deadline, asked]() mutable {
            join_stopped_core(record, run_at_stop, std::move(handle), std::move(awaited), deadline, asked);
        }).detach();
    } catch (const std::system_error& e) {
        // No joiner: this thread asks and waits itself, so the core is still
        // asked to end, at the price of the bound should the shutdown call
        // block. The handle went with the joiner's body and is released
        // unjoined; its run stays known until it ends.
        log_message(thread_failure("stop thread", e));
        ask_until_ended(record, run_at_stop, awaited, deadline, *asked);
    }

    // The stop answers only after the core has been asked to end at least
    // once (or the deadline has passed with the request still in the
    // library).
    const bool asked_in_time = asked->wait_until(deadline);
    if (no_thread) {
        // Nothing of its own to wait for: a core thread that has not started
        // its core yet finds the state and does not start it, and the
        // requests go on in the background until the awaited threads end.
        (void)asked_in_time;
        std::lock_guard lock(core.mutex);
        if (core.current_run == run_at_stop) {
            core.state = CoreState::Stopped;
            log_message("core stopped (no thread)");
        }
        return {};
    }

    const bool ended = asked_in_time && all_ended_by(awaited, deadline);
    std::lock_guard lock(core.mutex);
    // A start accepted since (its run is current now) owns the record: what
    // this stop saw is only its reply.
    const bool own = core.current_run == run_at_stop;
    if (ended) {
        if (own) {
            core.state = CoreState::Stopped;
            log_message("core stopped");
        }
        return {};
    }
    if (own) {
        core.state = CoreState::Failed;
        core.last_error = "core did not stop within timeout";
        log_message("core stop timeout");
    }
    return fail("core stop timeout");
}

}  // namespace VELMOR_CORE_NAMESPACE

namespace detail {
inline namespace VELMOR_CORE_NAMESPACE {
void fail_thread_creation_for_testing(int count) { g_thread_failures.store(count); }
void before_shutdown_for_testing(void (*hook)()) { g_before_shutdown = hook; }
}  // namespace VELMOR_CORE_NAMESPACE
}  // namespace detail

}  // namespace velmor
