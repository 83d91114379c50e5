#pragma once
// The one shared record of what the hosted core is doing.
//
// Every field is read and written only under `mutex` (the core-state lock).
// Holders keep the critical section short: no core library call, sleep,
// thread wait, folder or thread creation under it. Log lines that belong to a
// state change are written while it is held (the log sink's lock nests inside).

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/core_thread_handle.hpp"

namespace velmor {

enum class CoreState : std::uint8_t { Stopped = 0, Starting = 1, Running = 2, Stopping = 3, Failed = 4 };

// "stopped", "starting", "running", "stopping" or "failed".
std::string_view core_state_name(CoreState state);

// The controller's delays; the program uses the defaults, tests may shorten them.
struct CoreTimings {
    std::chrono::nanoseconds start_check_delay = std::chrono::seconds(1) + std::chrono::nanoseconds(500'000'000);
    std::chrono::nanoseconds stop_timeout = std::chrono::seconds(10);
};

struct CoreShared {
    explicit CoreShared(CoreTimings t = {}) : timings(t) {}
    CoreShared(const CoreShared&) = delete;
    CoreShared& operator=(const CoreShared&) = delete;

    const CoreTimings timings;

    std::mutex mutex;
    CoreState state = CoreState::Stopped;         // guarded by mutex
    std::optional<std::string> last_error;        // guarded by mutex
    std::optional<CoreThreadHandle> core_thread;  // guarded by mutex
    CoreRunBook runs;                             // guarded by mutex
};

struct CoreSnapshot {
    std::string_view status;  // the state's text name
    std::optional<std::string> error;
};

// The state's name and a copy of the last error, read under the lock.
CoreSnapshot core_snapshot(CoreShared& core);

}  // namespace velmor
