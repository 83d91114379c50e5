#pragma once
// The control pipe server: serves clients of \\.\pipe\velmor-helper one at a
// time, for the whole life of the service or of console mode.

#include <atomic>
#include <memory>

#include "core/core_state.hpp"

namespace velmor {

// The thread body. Returns when `stop_requested` is found set, or after
// setting it itself because the pipe's security descriptor cannot be built.
// Runs detached; nobody waits for it.
void run_pipe_server(std::shared_ptr<CoreShared> core, std::shared_ptr<std::atomic<bool>> stop_requested);

}  // namespace velmor
