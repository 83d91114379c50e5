#include "core/core_state.hpp"

#include "core/core_library.hpp"
#include "env/log.hpp"

namespace velmor {

std::string_view core_state_name(CoreState state) {
    switch (state) {
        case CoreState::Stopped: return "stopped";
        case CoreState::Starting: return "starting";
        case CoreState::Running: return "running";
        case CoreState::Stopping: return "stopping";
        case CoreState::Failed: return "failed";
    }
    return "failed";
}

Result<MachineLock> SystemCoreCalls::acquire_machine_lock(std::string_view name, std::uint64_t) {
    return velmor::acquire_machine_lock(name);
}

Result<> SystemCoreCalls::run_core(std::uint64_t, const std::string& config, const std::string& log_path,
                                   const std::string& cwd) {
    return velmor::run_core(config, log_path, cwd);
}

void SystemCoreCalls::shutdown_core(std::uint64_t) { velmor::shutdown_core(); }

void SystemCoreCalls::report_event(EventId id, std::string_view text) noexcept { velmor::report_event(id, text); }

void SystemCoreCalls::log(std::string_view message) noexcept { log_message(message); }

template class BasicSignal<SystemSync>;
template class BasicCoreRun<SystemSync>;
template struct BasicCoreShared<SystemSync, SystemCoreCalls>;
template CoreSnapshot core_snapshot(BasicCoreShared<SystemSync, SystemCoreCalls>&);

}  // namespace velmor
