#include "service/console.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "control/pipe_server.hpp"
#include "core/core_state.hpp"
#include "core/program_trust.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"

namespace velmor {

Result<> run_console() {
    Result<std::filesystem::path> folder = exe_dir();
    if (!folder) return fail(std::move(folder.error()));
    init_log(*folder);
    log_message("running in console mode");

    auto stop_requested = std::make_shared<std::atomic<bool>>(false);
    auto core = std::make_shared<CoreShared>();
    try {
        std::thread(run_pipe_server, core, stop_requested).detach();
    } catch (const std::system_error&) {
        return fail("failed to spawn thread");
    }
    // As at service start, once the pipe is served: reported here, refused
    // before a core starts.
    (void)decide_program_trust("program folder", find_unsafe_program_files(*folder), read_unsafe_folder_allowance());

    // Nothing to watch: console mode ends when the process is ended. The
    // main thread keeps its references, so the record outlives the server.
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

}  // namespace velmor
