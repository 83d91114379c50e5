#pragma once
// The recovery actions the service keeps in its registration: what install
// sets, and what the service makes them again at every start when they
// differ, so that a registration made by any other means (the MSI) gets them
// too. Portable: the platform half reads and writes them.

#include <cstdint>
#include <optional>
#include <vector>

namespace velmor {

// SC_ACTION_RESTART.
inline constexpr std::uint32_t RECOVERY_RESTART = 1;
// Restarts after the first, second and later failures, and the time after
// which the count of failures starts again.
inline constexpr std::uint32_t RESTART_DELAYS_MS[] = {5'000, 10'000, 60'000};
inline constexpr std::uint32_t FAILURE_RESET_SECONDS = 24 * 60 * 60;

struct RecoveryAction {
    std::uint32_t type = 0;
    std::uint32_t delay_ms = 0;
    bool operator==(const RecoveryAction&) const = default;
};

// The settings as the SCM holds them; a part that could not be read is
// empty.
struct RecoverySettings {
    std::optional<std::uint32_t> reset_seconds;
    std::optional<std::vector<RecoveryAction>> actions;
    // Recovery also when the service stops with an error without crashing.
    std::optional<bool> on_non_crash_failures;
    bool operator==(const RecoverySettings&) const = default;
};

// Restart after each of RESTART_DELAYS_MS, reset after FAILURE_RESET_SECONDS,
// also on non-crash failures.
RecoverySettings wanted_recovery();

// Whether the service has to set its recovery actions: anything that differs
// from wanted_recovery, or that could not be read, is set again.
bool recovery_needs_setting(const RecoverySettings& current);

}  // namespace velmor
