#pragma once
// The definitions of core_thread.hpp, for the builds that instantiate them:
// core_thread.cpp for the program, the explorer's scenarios for their models.

#include <new>

#include "base/path.hpp"
#include "base/text.hpp"
#include "core/core_thread.hpp"

namespace velmor {
namespace core_thread_detail {

// Logs a failed end of the run; a core that had started (the start's check
// had passed) and was not being stopped goes to the Event Log as well.
template <class Calls>
void log_failure(bool had_started, const std::string& line) {
    Calls::log(line);
    if (had_started) Calls::report_event(EventId::core_failed, line);
}

// Records how a run of the current core ended; called under the core-state
// lock. A run that is no longer current only logs.
template <class Sync, class Calls>
void record_outcome(BasicCoreShared<Sync, Calls>& core, bool current, const Result<>& outcome) {
    const bool had_started = current && core.state == CoreState::Running;
    if (!outcome) {
        const std::string& message = outcome.error().message();
        if (current) {
            core.state = CoreState::Failed;
            core.last_error = message;
        }
        // The core's own text often quotes the configuration: the log gets it
        // escaped and bounded, the record keeps it as it is.
        log_failure<Calls>(had_started, "core thread: start failed: " + escape_for_log(message));
        return;
    }
    // Stopped: a newer run's stop, for a run that is no longer current.
    if (core.state == CoreState::Stopping || core.state == CoreState::Stopped) {
        if (current) core.state = CoreState::Stopped;
        Calls::log("core thread: exited (stop requested)");
        return;
    }
    if (current) {
        core.state = CoreState::Failed;
        core.last_error = "core exited unexpectedly";
    }
    log_failure<Calls>(had_started, "core thread: exited unexpectedly");
}

// Ends a run that ran out of memory on this thread: the record never stays
// in Starting or Running for a core that is not running.
template <class Sync, class Calls>
void record_out_of_memory(BasicCoreShared<Sync, Calls>& core, std::uint64_t run) noexcept {
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
    Calls::log("core thread: out of memory");
}

// The run itself; throws std::bad_alloc when memory runs out.
template <class Sync, class Calls>
void run_core_in_thread(CoreThreadArgs<Sync, Calls>& args) {
    BasicCoreShared<Sync, Calls>& core = *args.core;
    const std::uint64_t run = args.run->id;
    args.run->wait_for_go();
    {
        const Result<typename Calls::MachineLock> machine = Calls::acquire_machine_lock(core.machine_lock_name, run);
        if (!machine) {
            std::lock_guard lock(core.mutex);
            if (core.current_run == run) {
                core.state = CoreState::Failed;
                core.last_error = machine.error().message();
            }
            // Who holds the lock, as far as the system tells, is for the log
            // and the Event Log; the record keeps the refusal alone.
            const std::string line = "core thread: machine lock busy \u2014 refusing double-start: " + machine.error().one_line();
            Calls::log(line);
            Calls::report_event(EventId::machine_lock_held, line);
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
                    Calls::log("core thread: exited (stop requested)");
                }
            }
            if (go) {
                const std::string cwd = path_to_utf8(args.service_data_dir);
                const std::string log_path = path_to_utf8(args.core_log_path);
                Calls::log("core thread: clash_start");
                const Result<> outcome = Calls::run_core(run, args.config, log_path, cwd);
                std::lock_guard lock(core.mutex);
                record_outcome(core, core.current_run == run, outcome);
            }
        }
        // The machine lock is released here, after the outcome is recorded.
    }
}

}  // namespace core_thread_detail

template <class Sync, class Calls>
void run_core_thread(CoreThreadArgs<Sync, Calls> args) noexcept {
    using namespace core_thread_detail;
    try {
        run_core_in_thread(args);
    } catch (const std::bad_alloc&) {
        record_out_of_memory(*args.core, args.run->id);
    }
    args.run->mark_ended();
}

}  // namespace velmor
