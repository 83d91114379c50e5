#include "service/host.hpp"

#include <system_error>
#include <thread>

#include "base/win.hpp"
#include "control/actions.hpp"
#include "core/core_controller.hpp"
#include "core/core_state.hpp"
#include "core/program_trust.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"
#include "service/data_folder_at_start.hpp"
#include "service/host_report.hpp"

namespace velmor {

Result<> run_host(const HostHooks& hooks, const std::shared_ptr<std::atomic<bool>>& stop_requested) {
    Result<std::filesystem::path> folder = exe_dir();
    // The log file is not open yet: only the standard-error echo sees it.
    if (!folder) return fail(std::move(folder.error()));
    init_log(*folder);
    if (Result<> attached = hooks.attach(); !attached) return attached;

    auto core = std::make_shared<CoreShared>();
    auto actions = std::make_shared<ActionContext>(core);
    // Before the first client, and before the line that tells whoever waits
    // for it that the helper is up: at boot, before anyone has logged on.
    prepare_data_folder_at_start(*actions);
    if (!hooks.first_line.empty()) log_message(std::string(hooks.first_line));
    report(EventId::service_started, host_started_line(hooks.name, GetCurrentProcessId()));

    try {
        std::thread(run_pipe_server,
                    PipeServerHost{actions, stop_requested, hooks.serving, hooks.ended, hooks.give_up_when_taken,
                                   hooks.waiting_for_name})
            .detach();
    } catch (const std::system_error&) {
        return fail("failed to spawn thread");
    }

    // Checked at install. A folder made unsafe since is reported here, once
    // the pipe is served; the check before each core start and library load
    // then refuses (or, with the allowance recorded at install, warns again).
    if (const std::optional<trust::Unsafe> unsafe = find_unsafe_program_files(*folder)) {
        const Result<> decided = decide_program_trust("program folder", unsafe, read_unsafe_folder_allowance());
        report_event(EventId::program_folder_unsafe, trust::unsafe_error("program folder", *unsafe).one_line() +
                                                         (decided ? " (allowed at install)" : ""));
    }

    const std::string stopping = hooks.wait_for_stop();
    if (!stopping.empty()) report(EventId::service_stopped, stopping);
    // A stop time-out is logged by the controller; the host ends anyway.
    (void)stop_core(*core);
    // Client lines held back by the log's rate limit are counted in the log.
    log_pending_summary();
    return {};
}

}  // namespace velmor
