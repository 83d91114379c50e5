#include "core/core_thread.hpp"

#include <new>

#include "base/path.hpp"
#include "base/text.hpp"
#include "core/core_library.hpp"
#include "core/machine_lock.hpp"
#include "env/log.hpp"

namespace velmor {
inline namespace VELMOR_CORE_NAMESPACE {
namespace {

// Records how a run of the current core ended; called under the core-state
// lock. A run that is no longer current only logs.
void record_outcome(CoreShared& core, bool current, const Result<>& outcome) {
    if (!outcome) {
        const std::string& message = outcome.error().message();
        if (current) {
            core.state = CoreState::Failed;
            core.last_error = message;
        }
        // The core's own text often quotes the configuration: the log gets it
        // escaped and bounded, the record keeps it as it is.
        log_message("core thread: start failed: " + escape_for_log(message));
        return;
    }
    // Stopped: a stop that found no thread handle has already recorded the
    // end it asked for.
    if (core.state == CoreState::Stopping || core.state == CoreState::Stopped) {
        if (current) core.state = CoreState::Stopped;
        log_message("core thread: exited (stop requested)");
        return;
    }
    if (current) {
        core.state = CoreState::Failed;
        core.last_error = "core exited unexpectedly";
    }
    log_message("core thread: exited unexpectedly");
}

// Ends a run that ran out of memory on this thread: the record never stays
// in Starting or Running for a core that is not running.
void record_out_of_memory(CoreShared& core, std::uint64_t run) noexcept {
    std::lock_guard lock(core.mutex);
    if (core.current_run == run) {
        if (core.state == CoreState::Starting || core.state == CoreState::Running) {
            core.state = CoreState::Failed;
            try {
                core.last_error = "core thread: out of memory";
            } catch (const std::bad_alloc&) {
                core.last_error.reset();
            }
        } else if (core.state == CoreState::Stopping) {
            core.state = CoreState::Stopped;
        }
    }
    log_message("core thread: out of memory");
}

// The run itself; throws std::bad_alloc when memory runs out.
void run_core_in_thread(CoreThreadArgs& args) {
    CoreShared& core = *args.core;
    const std::uint64_t run = args.run->id;
    {
        const std::optional<core_sync::MachineLock> machine = core_sync::acquire_machine_lock(core.machine_lock_name, run);
        if (!machine) {
            std::lock_guard lock(core.mutex);
            if (core.current_run == run) {
                core.state = CoreState::Failed;
                core.last_error = std::string(MACHINE_LOCK_BUSY_ERROR);
            }
            log_message("core thread: machine lock busy \u2014 refusing double-start");
        } else {
            // A stop or a newer start that came before the core was started
            // is honoured here: the core is not started at all.
            bool go = false;
            {
                std::unique_lock lock(core.mutex);
                // A stop's shutdown request that is still inside the library
                // would reach this core too: wait until it has returned, at
                // most until that stop's deadline, and only while there is a
                // core to start: a stop of this run or a newer start ends the
                // wait (both notify shutdown_done).
                const auto wanted = [&] {
                    return core.current_run == run &&
                           (core.state == CoreState::Starting || core.state == CoreState::Running);
                };
                while (core.shutdowns_in_flight > 0 && wanted() && core_sync::Clock::now() < core.shutdown_deadline)
                    core.shutdown_done.wait_until(lock, core.shutdown_deadline);
                const bool current = core.current_run == run;
                go = wanted();
                if (go && core.shutdowns_in_flight > 0) {
                    go = false;
                    core.state = CoreState::Failed;
                    core.last_error = std::string(SHUTDOWN_BUSY_ERROR);
                    log_message("core thread: an earlier core is still shutting down \u2014 refusing start");
                } else if (go) {
                    core.entered_run = run;
                } else {
                    if (current && core.state == CoreState::Stopping) core.state = CoreState::Stopped;
                    // Failed: a start's check or a stop's timeout has already
                    // ended this run and said why.
                    if (!current || core.state == CoreState::Stopped)
                        log_message("core thread: exited (stop requested)");
                }
            }
            // A start may be waiting for this decision.
            core.shutdown_done.notify_all();
            if (go) {
                const std::string cwd = path_to_utf8(args.service_data_dir);
                const std::string log_path = path_to_utf8(args.core_log_path);
                log_message("core thread: clash_start");
                const Result<> outcome = core_sync::run_core(run, args.config, log_path, cwd);
                std::lock_guard lock(core.mutex);
                record_outcome(core, core.current_run == run, outcome);
            }
        }
        // The machine lock is released here, after the outcome is recorded.
    }
}

}  // namespace

void run_core_thread(CoreThreadArgs args) noexcept {
    try {
        run_core_in_thread(args);
    } catch (const std::bad_alloc&) {
        record_out_of_memory(*args.core, args.run->id);
    }
    args.run->mark_ended();
}

}  // namespace VELMOR_CORE_NAMESPACE
}  // namespace velmor
