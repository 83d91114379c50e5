#include "service/recovery_settings.hpp"

namespace velmor {

RecoverySettings wanted_recovery() {
    RecoverySettings wanted;
    wanted.reset_seconds = FAILURE_RESET_SECONDS;
    wanted.actions.emplace();
    for (const std::uint32_t delay : RESTART_DELAYS_MS) wanted.actions->push_back({RECOVERY_RESTART, delay});
    wanted.on_non_crash_failures = true;
    return wanted;
}

bool recovery_needs_setting(const RecoverySettings& current) {
    // An empty part never equals the wanted one: unknown counts as different.
    return !(current == wanted_recovery());
}

}  // namespace velmor
