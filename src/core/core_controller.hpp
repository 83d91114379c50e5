#pragma once
// Starting and stopping the hosted core on the shared record.
//
// Callers: the pipe server's thread (start and stop, one request at a
// time) and the service runner's thread (stop on service stop). Neither
// holds the core-state lock when calling; both operations take it only for
// short reads and updates, never across the core library, sleeps, waits, or
// folder and thread creation.

#include <chrono>
#include <filesystem>
#include <string>

#include "base/error.hpp"
#include "core/core_state.hpp"

namespace velmor {

// How often a stop asks the core again to shut down while it waits: a
// request that arrives just before the core enters its run is otherwise lost.
inline constexpr std::chrono::milliseconds SHUTDOWN_REPEAT{500};

// Moves Stopped/Failed to Starting, creates the log folder and a core thread,
// stores the thread's handle and only then lets the thread enter the core,
// sleeps the start check delay and reports whether the core survived it. The
// core library must already be loaded. `core` must be owned by a
// std::shared_ptr (the core thread keeps a reference). Blocks for the start
// check delay when accepted, and before it, at most until an earlier stop's
// deadline, while that stop's shutdown request is still inside the core
// library. Errors: "core already starting", "core already running", "core is
// stopping", the core's last error, "an earlier core is still shutting down"
// or "core start failed", "core thread could not be created: {reason}" (the
// record turns Failed).
template <class Sync, class Calls>
Result<> start_core(BasicCoreShared<Sync, Calls>& core, std::string config, std::filesystem::path service_data_dir,
                    std::filesystem::path core_log_path);

// The refusal start_core would give in the record's present state ("core
// already starting", "core already running", "core is stopping"), read under
// the core-state lock; success when it would go ahead. For callers that must
// prepare nothing for a start that would be refused; start_core decides again
// under the lock.
template <class Sync, class Calls>
Result<> check_start_allowed(BasicCoreShared<Sync, Calls>& core);

// Sets Stopping and waits up to the stop timeout for every core thread the
// record knows to be alive; while one of them has entered the core library,
// asks the core to shut down (on a thread of its own, again every
// SHUTDOWN_REPEAT while waiting). A run that never entered the core never
// will once Stopping is set, and is not asked. Replies ok only when none of
// those threads is left. While Stopped or Failed with no such thread, only
// sets Stopped. Blocks up to the stop timeout; never blocks on the core
// library, except when no thread can be created for the requests. Its last
// write (Stopped, or Failed on timeout) is made only while no newer start has
// been accepted. Errors: "core stop timeout" (the record turns Failed).
template <class Sync, class Calls>
Result<> stop_core(BasicCoreShared<Sync, Calls>& core);

// Defined in core_controller_impl.hpp; the program's are built once.
extern template Result<> start_core(CoreShared&, std::string, std::filesystem::path, std::filesystem::path);
extern template Result<> check_start_allowed(CoreShared&);
extern template Result<> stop_core(CoreShared&);

}  // namespace velmor
