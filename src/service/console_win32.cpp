#include "service/console.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "control/pipe_server.hpp"
#include "core/core_state.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"
#include "service/data_folder_at_start.hpp"

namespace velmor {

Result<> run_console() {
    Result<std::filesystem::path> folder = exe_dir();
    if (!folder) return fail(std::move(folder.error()));
    init_log(*folder);
    // Before the line that tells the console is up: whoever waits for it
    // finds the data folder prepared.
    prepare_data_folder_at_start();
    log_message("running in console mode");

    auto stop_requested = std::make_shared<std::atomic<bool>>(false);
    auto core = std::make_shared<CoreShared>();
    try {
        std::thread(run_pipe_server, core, stop_requested).detach();
    } catch (const std::system_error&) {
        return fail("failed to spawn thread");
    }

    // Nothing to watch: console mode ends when the process is ended. The
    // main thread keeps its references, so the record outlives the server.
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

}  // namespace velmor
