#pragma once
// The interleaving explorer's side of the controller's synchronisation seam
// (core/core_sync.hpp): the lock, condition waits, threads and clock are the
// explorer's (support/explorer.hpp); the core library and the machine lock
// are the controller scenarios' models (core_controller_explorer_posix_test.cpp).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.hpp"
#include "env/event_log.hpp"
#include "support/explorer.hpp"

namespace velmor::explorer {

class MachineLock {
public:
    explicit MachineLock(int holder) : holder_(holder) {}
    MachineLock(MachineLock&& other) noexcept : holder_(std::exchange(other.holder_, -1)) {}
    MachineLock& operator=(MachineLock&&) = delete;
    ~MachineLock();

private:
    int holder_;
};

Result<MachineLock> acquire_machine_lock(std::string_view name, std::uint64_t run);
Result<> run_core(std::uint64_t run, const std::string& config, const std::string& log_path, const std::string& cwd);
void shutdown_core(std::uint64_t run_at_stop);
// The controller's events go into the explorer's trace.
void report_event(EventId id, std::string_view text) noexcept;

}  // namespace velmor::explorer

namespace velmor::core_sync {
using Mutex = explorer::Mutex;
using ConditionVariable = explorer::ConditionVariable;
using Clock = explorer::VirtualClock;
using Thread = explorer::Thread;
using MachineLock = explorer::MachineLock;
using explorer::acquire_machine_lock;
using explorer::run_core;
using explorer::report_event;
using explorer::shutdown_core;
using explorer::sleep_for;
}  // namespace velmor::core_sync

namespace velmor {
inline namespace explored {
// The controller's log lines go into the explorer's trace.
void log_message(std::string_view message) noexcept;
}  // namespace explored
}  // namespace velmor
