#include "core/core_controller.hpp"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "core/core_library.hpp"
#include "core/core_thread.hpp"
#include "env/data_folder.hpp"
#include "env/event_log.hpp"
#include "env/log.hpp"

namespace velmor {
inline namespace VELMOR_CORE_NAMESPACE {
namespace {

using Clock = core_sync::Clock;
using RunList = std::vector<std::shared_ptr<CoreRun>>;

// Under the core-state lock.
void drop_ended_runs(RunList& runs) {
    std::erase_if(runs, [](const std::shared_ptr<CoreRun>& run) { return run->ended(); });
}

bool all_ended_by(const RunList& runs, Clock::time_point deadline) {
    return std::all_of(runs.begin(), runs.end(),
                       [deadline](const std::shared_ptr<CoreRun>& run) { return run->wait_ended_until(deadline); });
}

// Asks the core to shut down on behalf of the stop made while `run_at_stop`
// was the latest run, unless a newer start has been accepted since: the call
// would then reach the new core. The check and the count of calls in flight
// are one step under the core-state lock, and a newer run's core thread is
// let go only while that count is zero, so the call can reach no newer core.
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
    core_sync::shutdown_core(run_at_stop);
    {
        std::lock_guard lock(core->mutex);
        --core->shutdowns_in_flight;
    }
    core->shutdown_done.notify_all();
}

// Asks the core to shut down, again every SHUTDOWN_REPEAT until the awaited
// threads end, a newer start is accepted or `deadline` passes.
void ask_until_ended(const std::weak_ptr<CoreShared>& record, std::uint64_t run_at_stop, const RunList& awaited,
                     Clock::time_point deadline) {
    for (;;) {
        shutdown_for_stop(record, run_at_stop, deadline);
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
                       std::optional<CoreThreadHandle> handle, RunList awaited, Clock::time_point deadline) {
    ask_until_ended(record, run_at_stop, awaited, deadline);
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

    core_sync::Thread thread;
    std::string thread_error;
    try {
        (void)create_folder_all(core_log_path.parent_path());
        thread = core_sync::Thread([args = CoreThreadArgs{shared, run, std::move(service_data_dir), std::move(core_log_path),
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
        std::unique_lock lock(core.mutex);
        // An earlier handle is released unjoined here.
        core.core_thread = CoreThreadHandle(std::move(thread), run);
        // A stop's shutdown call still inside the library would reach this
        // run's core too: the thread is let go once that call has returned,
        // at most until that stop's deadline, and at once when this run is
        // stopped meanwhile (the stop notifies shutdown_done).
        const auto held_back = [&] {
            return core.shutdowns_in_flight > 0 && core.current_run == run->id && core.state == CoreState::Starting;
        };
        if (!core.shutdown_done.wait_until(lock, core.shutdown_deadline, [&] { return !held_back(); })) {
            core.state = CoreState::Failed;
            core.last_error = std::string(SHUTDOWN_BUSY_ERROR);
            log_message("core thread: an earlier core is still shutting down \u2014 refusing start");
        }
    }
    // With its handle stored, the run may enter the core: every stop from
    // here on finds it.
    run->let_go();

    core_sync::sleep_for(core.timings.start_check_delay);

    std::lock_guard lock(core.mutex);
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
    bool ask = false;
    // Between a start's state check and the storing of its handle, or while
    // another stop waits.
    bool no_thread = false;
    {
        std::lock_guard lock(core.mutex);
        drop_ended_runs(core.live_runs);
        // A core thread of an earlier run that outlived its stop is waited
        // for like any other.
        if ((core.state == CoreState::Stopped || core.state == CoreState::Failed) && core.live_runs.empty()) {
            core.state = CoreState::Stopped;
            return {};
        }
        awaited = core.live_runs;  // may fail for want of memory: before the state changes
        // Only a core that entered the library is asked to end: with the
        // state Stopping no other run of these ever enters it.
        ask = std::any_of(awaited.begin(), awaited.end(), [](const std::shared_ptr<CoreRun>& run) { return run->entered; });
        no_thread = !core.core_thread && core.state != CoreState::Stopped && core.state != CoreState::Failed;
        core.state = CoreState::Stopping;
        handle = std::exchange(core.core_thread, std::nullopt);
        run_at_stop = core.current_run;
    }
    // A start waiting to let its core thread go finds its run stopped.
    core.shutdown_done.notify_all();

    const Clock::time_point deadline = Clock::now() + core.timings.stop_timeout;
    const std::weak_ptr<CoreShared> record = core.weak_from_this();
    if (ask) {
        try {
            core_sync::Thread([record, run_at_stop, handle = std::move(handle), awaited, deadline]() mutable {
                join_stopped_core(record, run_at_stop, std::move(handle), std::move(awaited), deadline);
            }).detach();
        } catch (const std::system_error& e) {
            // No joiner: this thread asks itself, so the core is still asked
            // to end, at the price of the bound should the shutdown call
            // block. The handle went with the joiner's body and is released
            // unjoined; its run stays known until it ends.
            log_message(thread_failure("stop thread", e));
            ask_until_ended(record, run_at_stop, awaited, deadline);
        }
    }

    // The reply says stopped only once no core of the awaited runs is left in
    // the library.
    const bool ended = all_ended_by(awaited, deadline);
    std::lock_guard lock(core.mutex);
    // A start accepted since (its run is current now) owns the record: what
    // this stop saw is only its reply.
    const bool own = core.current_run == run_at_stop;
    if (ended) {
        if (own) {
            core.state = CoreState::Stopped;
            log_message(no_thread ? "core stopped (no thread)" : "core stopped");
        }
        return {};
    }
    if (own) {
        core.state = CoreState::Failed;
        core.last_error = "core did not stop within timeout";
        log_message("core stop timeout");
        core_sync::report_event(EventId::stop_timed_out, "core stop timeout");
    }
    return fail("core stop timeout");
}

}  // namespace VELMOR_CORE_NAMESPACE

}  // namespace velmor
