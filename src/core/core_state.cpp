#include "core/core_state.hpp"

namespace velmor {
inline namespace VELMOR_CORE_NAMESPACE {

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

}  // namespace VELMOR_CORE_NAMESPACE
}  // namespace velmor

namespace velmor {
inline namespace VELMOR_CORE_NAMESPACE {

void Signal::set() {
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

bool Signal::is_set() const {
    std::lock_guard lock(mutex_);
    return set_;
}

void Signal::wait() const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return set_; });
}

bool Signal::wait_until(core_sync::Clock::time_point deadline) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [this] { return set_; });
}

}  // namespace VELMOR_CORE_NAMESPACE
}  // namespace velmor
