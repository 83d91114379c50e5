#include "core/core_controller.hpp"

#include <algorithm>
#include <new>
#include <atomic>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/core_library.hpp"
#include "core/core_thread.hpp"
#include "env/data_folder.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

using Clock = std::chrono::steady_clock;
using RunList = std::vector<std::shared_ptr<CoreRun>>;

std::atomic<int> g_thread_failures{0};

template <class F>
std::thread spawn_thread(F&& body) {
    int left = g_thread_failures.load();
    while (left > 0) {
        if (g_thread_failures.compare_exchange_weak(left, left - 1))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::thread(std::forward<F>(body));
}

// Under the core-state lock.
void drop_ended_runs(RunList& runs) {
    std::erase_if(runs, [](const std::shared_ptr<CoreRun>& run) { return run->ended(); });
}

bool all_ended_by(const RunList& runs, Clock::time_point deadline) {
    return std::all_of(runs.begin(), runs.end(),
                       [deadline](const std::shared_ptr<CoreRun>& run) { return run->wait_ended_until(deadline); });
}

// True once a start newer than `run_at_stop` has been accepted: from then on
// a shutdown request would reach the new core.
bool superseded(const std::weak_ptr<CoreShared>& record, std::uint64_t run_at_stop) {
    const std::shared_ptr<CoreShared> core = record.lock();
    if (!core) return true;
    std::lock_guard lock(core->mutex);
    return core->current_run != run_at_stop;
}

// The joiner of one stop, on a thread of its own so that a shutdown call that
// blocks holds up nothing: asks the core to shut down, again every
// SHUTDOWN_REPEAT until the awaited threads end, a newer start is accepted or
// the stop's deadline passes; then waits without limit for the core thread
// it owns. Touches only its handle and the runs; reads the record's run
// number under its lock.
void join_stopped_core(std::weak_ptr<CoreShared> record, std::uint64_t run_at_stop,
                       std::optional<CoreThreadHandle> handle, RunList awaited, Clock::time_point deadline) {
    for (;;) {
        shutdown_core();
        const Clock::time_point next = std::min(Clock::now() + SHUTDOWN_REPEAT, deadline);
        if (all_ended_by(awaited, next)) break;
        if (Clock::now() >= deadline || superseded(record, run_at_stop)) break;
    }
    if (handle && handle->thread.joinable()) handle->thread.join();
}

std::string thread_failure(std::string_view what, const std::system_error& e) {
    return std::string(what) + " could not be created: " + e.code().message();
}

}  // namespace

Result<> start_core(CoreShared& core, std::string config, std::filesystem::path service_data_dir,
                    std::filesystem::path core_log_path) {
    std::shared_ptr<CoreShared> shared = core.weak_from_this().lock();
    if (!shared) return fail("core record is not shared");

    std::shared_ptr<CoreRun> run;
    {
        std::lock_guard lock(core.mutex);
        switch (core.state) {
            case CoreState::Starting:
            case CoreState::Running: return fail("core already " + std::string(core_state_name(core.state)));
            case CoreState::Stopping: return fail("core is stopping");
            case CoreState::Stopped:
            case CoreState::Failed: break;
        }
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

    std::thread thread;
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

    std::this_thread::sleep_for(core.timings.start_check_delay);

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

    const Clock::time_point deadline = Clock::now() + core.timings.stop_timeout;
    const std::weak_ptr<CoreShared> record = core.weak_from_this();

    if (no_thread) {
        // Nothing to wait for here; the shutdown requests still go on in the
        // background until the awaited threads end, and a core thread that
        // has not started its core yet finds the state and does not start it.
        try {
            spawn_thread([record, run_at_stop, awaited, deadline] {
                join_stopped_core(record, run_at_stop, std::nullopt, awaited, deadline);
            }).detach();
        } catch (const std::system_error&) {
        }
        std::lock_guard lock(core.mutex);
        core.state = CoreState::Stopped;
        log_message("core stopped (no thread)");
        return {};
    }

    try {
        spawn_thread([record, run_at_stop, handle = std::move(handle), awaited, deadline]() mutable {
            join_stopped_core(record, run_at_stop, std::move(handle), std::move(awaited), deadline);
        }).detach();
    } catch (const std::system_error& e) {
        // The handle went with the joiner's body and is released unjoined;
        // the run stays known, so a later stop waits for it.
        const std::string message = thread_failure("stop thread", e);
        std::lock_guard lock(core.mutex);
        core.state = CoreState::Failed;
        core.last_error = message;
        log_message(message);
        return fail(message);
    }

    const bool ended = all_ended_by(awaited, deadline);
    std::lock_guard lock(core.mutex);
    if (ended) {
        core.state = CoreState::Stopped;
        log_message("core stopped");
        return {};
    }
    core.state = CoreState::Failed;
    core.last_error = "core did not stop within timeout";
    log_message("core stop timeout");
    return fail("core stop timeout");
}

namespace detail {
void fail_thread_creation_for_testing(int count) { g_thread_failures.store(count); }
}  // namespace detail

}  // namespace velmor
