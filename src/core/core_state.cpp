#include "core/core_state.hpp"

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

CoreSnapshot core_snapshot(CoreShared& core) {
    std::lock_guard lock(core.mutex);
    return CoreSnapshot{core_state_name(core.state), core.last_error};
}

}  // namespace velmor
