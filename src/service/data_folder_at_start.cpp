#include "service/data_folder_at_start.hpp"

#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "control/actions.hpp"
#include "core/core_state.hpp"
#include "env/data_folder.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"

namespace velmor {

void prepare_data_folder_at_start(ActionContext& actions, std::chrono::milliseconds bound) {
    auto done = std::make_shared<Signal>();
    // Marked as a start's preparation is: until it ends, a start is refused
    // rather than prepare the same folders beside it.
    if (!actions.begin_preparation()) return;
    try {
        // The folders are let go as soon as they are checked: only a start
        // holds them, for as long as it decides.
        std::thread([done, owner = actions.shared_from_this()] {
            (void)owner->steps().data_folder(service_data_dir());
            owner->end_preparation();
            done->set();
        }).detach();
    } catch (const std::exception&) {
        actions.end_preparation();
        log_message("data folder: not prepared at start: failed to spawn thread");
        return;
    }
    // A call held up by someone else's handle costs that one thread, never
    // the pipe.
    if (!done->wait_until(std::chrono::steady_clock::now() + bound))
        log_message("data folder: still being prepared after " +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count()) +
                    " s; serving without waiting");
}

}  // namespace velmor
