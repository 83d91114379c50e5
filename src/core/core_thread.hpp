#pragma once
// The body of a core thread: one per accepted start.

#include <filesystem>
#include <memory>
#include <string>

#include "core/core_state.hpp"

namespace velmor {

// A stop's shutdown call into the core library had not returned by that
// stop's deadline when this run was to be let go.
inline constexpr std::string_view SHUTDOWN_BUSY_ERROR = "an earlier core is still shutting down";

// What start_core hands to a new core thread; owned by the thread.
template <class Sync, class Calls>
struct CoreThreadArgs {
    std::shared_ptr<BasicCoreShared<Sync, Calls>> core;
    std::shared_ptr<BasicCoreRun<Sync>> run;
    std::filesystem::path service_data_dir;  // the core's working folder
    std::filesystem::path core_log_path;
    std::string config;
};

// Waits for start_core to let it go (CoreRun::wait_for_go), takes the
// machine lock, checks under the core-state lock that its run is still
// current and not being stopped, runs the core through the core library (no
// lock held; blocks for the core's whole life), records the outcome under the
// core-state lock while its run is still the current one (otherwise it only
// logs), releases the machine lock and finally marks its run ended. Runs on
// its own thread; a stop waits for it with a bound, nobody without one.
// Defined in core_thread_impl.hpp.
template <class Sync, class Calls>
void run_core_thread(CoreThreadArgs<Sync, Calls> args) noexcept;

extern template void run_core_thread(CoreThreadArgs<SystemSync, SystemCoreCalls>) noexcept;

}  // namespace velmor
