#include "core/core_thread.hpp"

#include <new>

#include "base/path.hpp"
#include "base/text.hpp"
#include "core/core_library.hpp"
#include "core/machine_lock.hpp"
#include "env/event_log.hpp"
#include "env/log.hpp"

namespace velmor {
inline namespace VELMOR_CORE_NAMESPACE {
namespace {

// Logs a failed end of the run; a core that had started (the start's check
// had passed) and was not being stopped goes to the Event Log as well.
void log_failure(bool had_started, const std::string& line) {
    log_message(line);
    if (had_started) core_sync::report_event(EventId::core_failed, line);
}

// Records how a run of the current core ended; called under the core-state
// lock. A run that is no longer current only logs.
void record_outcome(CoreShared& core, bool current, const Result<>& outcome) {
    const bool had_started = current && core.state == CoreState::Running;
    if (!outcome) {
        const std::string& message = outcome.error().message();
        if (current) {
            core.state = CoreState::Failed;
            core.last_error = message;
        }
        // The core's own text often quotes the configuration: the log gets it
        // escaped and bounded, the record keeps it as it is.
        log_failure(had_started, "core thread: start failed: " + escape_for_log(message));
        return;
    }
    // Stopped: a newer run's stop, for a run that is no longer current.
    if (core.state == CoreState::Stopping || core.state == CoreState::Stopped) {
        if (current) core.state = CoreState::Stopped;
        log_message("core thread: exited (stop requested)");
        return;
    }
    if (current) {
        core.state = CoreState::Failed;
        core.last_error = "core exited unexpectedly";
    }
    log_failure(had_started, "core thread: exited unexpectedly");
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
    args.run->wait_for_go();
    {
        const Result<core_sync::MachineLock> machine = core_sync::acquire_machine_lock(core.machine_lock_name, run);
        if (!machine) {
            std::lock_guard lock(core.mutex);
            if (core.current_run == run) {
                core.state = CoreState::Failed;
                core.last_error = machine.error().message();
            }
            // Who holds the lock, as far as the system tells, is for the log
            // and the Event Log; the record keeps the refusal alone.
            const std::string line = "core thread: machine lock busy \u2014 refusing double-start: " + machine.error().one_line();
            log_message(line);
            core_sync::report_event(EventId::machine_lock_held, line);
        } else {
            // A stop or a newer start that came before the core was started
            // is honoured here: the core is not started at all.
            bool go = false;
            {
                std::lock_guard lock(core.mutex);
                const bool current = core.current_run == run;
                go = current && (core.state == CoreState::Starting || core.state == CoreState::Running);
                // Failed: a start's check or a stop's timeout has already
                // ended this run and said why.
                if (go) {
                    args.run->entered = true;
                } else if (!current || core.state == CoreState::Stopping) {
                    log_message("core thread: exited (stop requested)");
                }
            }
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
