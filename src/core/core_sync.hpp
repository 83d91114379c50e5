#pragma once
// What the controller and the core thread synchronise with: the core-state
// lock and its condition waits, threads, the clock and sleeping, the machine
// lock and the core library's two calls. The program takes the real ones
// below, plain aliases and inline calls that cost nothing.
//
// A build that defines VELMOR_CORE_SYNC_HEADER compiles core_state.cpp,
// core_thread.cpp and core_controller.cpp against the primitives of that
// header instead (the native tests' interleaving explorer, which runs the
// real controller code one step at a time in virtual time). Such a build
// puts the record, the controller and the core thread into the inline
// namespace `explored`, so that both builds can live in one program; that
// header may also declare a `log_message` of that namespace, which then takes
// the controller's log lines.

#if defined(VELMOR_CORE_SYNC_HEADER)
#define VELMOR_CORE_NAMESPACE explored
#include VELMOR_CORE_SYNC_HEADER
#else
#define VELMOR_CORE_NAMESPACE native

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/error.hpp"
#include "core/core_library.hpp"
#include "core/machine_lock.hpp"
#include "env/event_log.hpp"

namespace velmor::core_sync {

using Mutex = std::mutex;
using ConditionVariable = std::condition_variable;
using Clock = std::chrono::steady_clock;
using Thread = std::thread;
using MachineLock = velmor::MachineLock;

inline void sleep_for(std::chrono::nanoseconds duration) { std::this_thread::sleep_for(duration); }

// `run` names the run on whose behalf a call is made; only the explorer
// looks at it.
inline Result<MachineLock> acquire_machine_lock(std::string_view name, std::uint64_t run) {
    (void)run;
    return velmor::acquire_machine_lock(name);
}
inline Result<> run_core(std::uint64_t run, const std::string& config, const std::string& log_path,
                         const std::string& cwd) {
    (void)run;
    return velmor::run_core(config, log_path, cwd);
}
inline void shutdown_core(std::uint64_t run_at_stop) {
    (void)run_at_stop;
    velmor::shutdown_core();
}
inline void report_event(EventId id, std::string_view text) noexcept {
    velmor::report_event(id, text);
}

}  // namespace velmor::core_sync
#endif
