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

namespace velmor {

void CoreRun::mark_ended() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

bool CoreRun::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

bool CoreRun::wait_ended_until(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [this] { return ended_; });
}

}  // namespace velmor
