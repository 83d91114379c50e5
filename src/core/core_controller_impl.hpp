#pragma once
// The definitions of core_controller.hpp, for the builds that instantiate
// them: core_controller.cpp for the program, the explorer's scenarios for
// their models.

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "core/core_controller.hpp"
#include "core/core_thread_impl.hpp"
#include "env/data_folder.hpp"

namespace velmor {
namespace core_controller_detail {

template <class Sync>
using RunList = std::vector<std::shared_ptr<BasicCoreRun<Sync>>>;
template <class Sync>
using TimePoint = typename Sync::Clock::time_point;

// Under the core-state lock.
template <class Sync>
void drop_ended_runs(RunList<Sync>& runs) {
    std::erase_if(runs, [](const auto& run) { return run->ended(); });
}

template <class Sync>
bool all_ended_by(const RunList<Sync>& runs, TimePoint<Sync> deadline) {
    return std::all_of(runs.begin(), runs.end(), [deadline](const auto& run) { return run->wait_ended_until(deadline); });
}

// Asks the core to shut down on behalf of the stop made while `run_at_stop`
// was the latest run, unless a newer start has been accepted since: the call
// would then reach the new core. The check and the count of calls in flight
// are one step under the core-state lock, and a newer run's core thread is
// let go only while that count is zero, so the call can reach no newer core.
template <class Sync, class Calls>
void shutdown_for_stop(const std::weak_ptr<BasicCoreShared<Sync, Calls>>& record, std::uint64_t run_at_stop,
                       TimePoint<Sync> deadline) {
    const std::shared_ptr<BasicCoreShared<Sync, Calls>> core = record.lock();
    if (!core) return;
    {
        std::lock_guard lock(core->mutex);
        if (core->current_run != run_at_stop) return;
        ++core->shutdowns_in_flight;
        core->shutdown_deadline = std::max(core->shutdown_deadline, deadline);
    }
    Calls::shutdown_core(run_at_stop);
    {
        std::lock_guard lock(core->mutex);
        --core->shutdowns_in_flight;
    }
    core->shutdown_done.notify_all();
}

// Asks the core to shut down, again every SHUTDOWN_REPEAT until the awaited
// threads end, a newer start is accepted or `deadline` passes.
template <class Sync, class Calls>
void ask_until_ended(const std::weak_ptr<BasicCoreShared<Sync, Calls>>& record, std::uint64_t run_at_stop,
                     const RunList<Sync>& awaited, TimePoint<Sync> deadline) {
    for (;;) {
        shutdown_for_stop(record, run_at_stop, deadline);
        const TimePoint<Sync> next = std::min(Sync::Clock::now() + SHUTDOWN_REPEAT, deadline);
        if (all_ended_by<Sync>(awaited, next) || Sync::Clock::now() >= deadline) return;
        const std::shared_ptr<BasicCoreShared<Sync, Calls>> core = record.lock();
        if (!core) return;
        std::lock_guard lock(core->mutex);
        if (core->current_run != run_at_stop) return;
    }
}

// The joiner of one stop, on a thread of its own so that a shutdown call that
// blocks holds up nothing; then waits without limit for the core thread it
// owns. Touches only its handle, the runs and the shutdown count.
template <class Sync, class Calls>
void join_stopped_core(std::weak_ptr<BasicCoreShared<Sync, Calls>> record, std::uint64_t run_at_stop,
                       std::optional<BasicCoreThreadHandle<Sync>> handle, RunList<Sync> awaited,
                       TimePoint<Sync> deadline) {
    ask_until_ended(record, run_at_stop, awaited, deadline);
    if (handle && handle->thread.joinable()) handle->thread.join();
}

inline std::string thread_failure(std::string_view what, const std::system_error& e) {
    return std::string(what) + " could not be created: " + e.code().message();
}

// Under the core-state lock.
inline Result<> start_refusal(CoreState state) {
    switch (state) {
        case CoreState::Starting:
        case CoreState::Running: return fail("core already " + std::string(core_state_name(state)));
        case CoreState::Stopping: return fail("core is stopping");
        case CoreState::Stopped:
        case CoreState::Failed: break;
    }
    return {};
}

}  // namespace core_controller_detail

template <class Sync, class Calls>
Result<> check_start_allowed(BasicCoreShared<Sync, Calls>& core) {
    using namespace core_controller_detail;
    std::lock_guard lock(core.mutex);
    return start_refusal(core.state);
}

template <class Sync, class Calls>
Result<> start_core(BasicCoreShared<Sync, Calls>& core, std::string config, std::filesystem::path service_data_dir,
                    std::filesystem::path core_log_path) {
    using namespace core_controller_detail;
    std::shared_ptr<BasicCoreShared<Sync, Calls>> shared = core.weak_from_this().lock();
    if (!shared) return fail("core record is not shared");

    std::shared_ptr<BasicCoreRun<Sync>> run;
    {
        std::lock_guard lock(core.mutex);
        if (Result<> allowed = start_refusal(core.state); !allowed) return allowed;
        // What may fail for want of memory comes before the state changes: a
        // record left in Starting would refuse every later start.
        drop_ended_runs<Sync>(core.live_runs);
        core.live_runs.reserve(core.live_runs.size() + 1);
        run = std::make_shared<BasicCoreRun<Sync>>(core.current_run + 1);
        core.state = CoreState::Starting;
        core.last_error.reset();
        ++core.current_run;
        core.live_runs.push_back(run);
    }

    typename Sync::Thread thread;
    std::string thread_error;
    try {
        (void)create_folder_all(core_log_path.parent_path());
        thread = typename Sync::Thread(
            [args = CoreThreadArgs<Sync, Calls>{shared, run, std::move(service_data_dir), std::move(core_log_path),
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
        drop_ended_runs<Sync>(core.live_runs);
        if (core.current_run == run->id && core.state == CoreState::Starting) {
            core.state = CoreState::Failed;
            core.last_error = message;
        }
        Calls::log(message);
        return fail(message);
    }

    {
        std::unique_lock lock(core.mutex);
        // An earlier handle is released unjoined here.
        core.core_thread = BasicCoreThreadHandle<Sync>(std::move(thread), run);
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
            Calls::log("core thread: an earlier core is still shutting down \u2014 refusing start");
        }
    }
    // With its handle stored, the run may enter the core: every stop from
    // here on finds it.
    run->let_go();

    Sync::sleep_for(core.timings.start_check_delay);

    std::lock_guard lock(core.mutex);
    switch (core.state) {
        case CoreState::Failed: return fail(core.last_error.value_or("core start failed"));
        case CoreState::Starting:
            core.state = CoreState::Running;
            Calls::log("core running");
            return {};
        case CoreState::Stopped:
        case CoreState::Running:
        case CoreState::Stopping: return {};
    }
    return {};
}

template <class Sync, class Calls>
Result<> stop_core(BasicCoreShared<Sync, Calls>& core) {
    using namespace core_controller_detail;
    std::optional<BasicCoreThreadHandle<Sync>> handle;
    RunList<Sync> awaited;
    std::uint64_t run_at_stop = 0;
    bool ask = false;
    // Between a start's state check and the storing of its handle, or while
    // another stop waits.
    bool no_thread = false;
    {
        std::lock_guard lock(core.mutex);
        drop_ended_runs<Sync>(core.live_runs);
        // A core thread of an earlier run that outlived its stop is waited
        // for like any other.
        if ((core.state == CoreState::Stopped || core.state == CoreState::Failed) && core.live_runs.empty()) {
            core.state = CoreState::Stopped;
            return {};
        }
        awaited = core.live_runs;  // may fail for want of memory: before the state changes
        // Only a core that entered the library is asked to end: with the
        // state Stopping no other run of these ever enters it.
        ask = std::any_of(awaited.begin(), awaited.end(), [](const auto& run) { return run->entered; });
        no_thread = !core.core_thread && core.state != CoreState::Stopped && core.state != CoreState::Failed;
        core.state = CoreState::Stopping;
        handle = std::exchange(core.core_thread, std::nullopt);
        run_at_stop = core.current_run;
    }
    // A start waiting to let its core thread go finds its run stopped.
    core.shutdown_done.notify_all();

    const TimePoint<Sync> deadline = Sync::Clock::now() + core.timings.stop_timeout;
    const std::weak_ptr<BasicCoreShared<Sync, Calls>> record = core.weak_from_this();
    if (ask) {
        try {
            typename Sync::Thread([record, run_at_stop, handle = std::move(handle), awaited, deadline]() mutable {
                join_stopped_core(record, run_at_stop, std::move(handle), std::move(awaited), deadline);
            }).detach();
        } catch (const std::system_error& e) {
            // No joiner: this thread asks itself, so the core is still asked
            // to end, at the price of the bound should the shutdown call
            // block. The handle went with the joiner's body and is released
            // unjoined; its run stays known until it ends.
            Calls::log(thread_failure("stop thread", e));
            ask_until_ended(record, run_at_stop, awaited, deadline);
        }
    }

    // The reply says stopped only once no core of the awaited runs is left in
    // the library.
    const bool ended = all_ended_by<Sync>(awaited, deadline);
    std::lock_guard lock(core.mutex);
    // A start accepted since (its run is current now) owns the record: what
    // this stop saw is only its reply.
    const bool own = core.current_run == run_at_stop;
    if (ended) {
        if (own) {
            core.state = CoreState::Stopped;
            Calls::log(no_thread ? "core stopped (no thread)" : "core stopped");
        }
        return {};
    }
    if (own) {
        core.state = CoreState::Failed;
        core.last_error = "core did not stop within timeout";
        Calls::log("core stop timeout");
        Calls::report_event(EventId::stop_timed_out, "core stop timeout");
    }
    return fail("core stop timeout");
}

}  // namespace velmor
