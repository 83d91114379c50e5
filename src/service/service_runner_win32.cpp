#include "service/service_runner.hpp"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "control/pipe_server.hpp"
#include "core/core_controller.hpp"
#include "core/core_state.hpp"
#include "core/program_trust.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"
#include "service/data_folder_at_start.hpp"
#include "service/host_report.hpp"
#include "service/install.hpp"
#include "service/winapi_error.hpp"

namespace velmor {
namespace {

constexpr auto STOP_POLL_INTERVAL = std::chrono::milliseconds(500);
// The whole stop: one look at the flag, the core's stop time-out and its
// shutdown call, with room to spare.
constexpr DWORD STOP_WAIT_HINT_MS = 20'000;

SERVICE_STATUS status_record(DWORD state, DWORD controls_accepted) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls_accepted;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    return status;
}

void log_service_error(const Error& error) { log_message("service error: " + error.full_description()); }

// Stop controls still inside handle_control. Windows calls the handler on
// the thread that runs the dispatcher, which therefore comes back only after
// the handler has answered; Wine calls it on a thread of its own, and the
// dispatcher comes back as soon as SERVICE_STOPPED is reported.
std::atomic<int> stops_in_handler{0};

// Under Wine, what the dispatcher's own thread needs to send the handler's
// answer once the handler has returned. Short: until the process has ended,
// its executable cannot be removed, and Wine's msiexec, which does not wait,
// removes it right after the Stop.
constexpr auto ANSWER_GRACE = std::chrono::milliseconds(2);
// How long the routine leaves the stopped report to a handler that waits.
constexpr auto HANDOVER_WAIT = std::chrono::seconds(1);

}  // namespace

Result<> run_service_dispatcher() {
    const SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(SERVICE_NAME), run_service},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(table)) {
        return fail(Error("failed to start service dispatcher", os_error(GetLastError())));
    }
    // The process must outlive the answer to the Stop that ended it, or the
    // sender sees the control fail. Never the case on Windows.
    const auto deadline = std::chrono::steady_clock::now() + HANDLER_STOP_WAIT;
    if (stops_in_handler.load() > 0) {
        while (stops_in_handler.load() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(ANSWER_GRACE);
    }
    return {};
}

void WINAPI run_service(DWORD argc, LPWSTR* argv) {
    // The SCM passes the service name and any start arguments; none is used.
    std::vector<std::string> args;
    for (DWORD i = 0; argv != nullptr && i < argc; ++i) {
        if (argv[i] != nullptr) args.push_back(narrow(argv[i]));
    }
    (void)args;

    Result<std::filesystem::path> folder = exe_dir();
    if (!folder) {
        // The log file is not open yet: only the standard-error echo, which a
        // service does not have, sees this line.
        log_service_error(folder.error());
        return;
    }
    init_log(*folder);

    auto stop_requested = std::make_shared<std::atomic<bool>>(false);
    auto core = std::make_shared<CoreShared>();
    auto actions = std::make_shared<ActionContext>(core);

    // The dispatcher may call the handler with this context up to the moment
    // the process ends, also after this routine has returned, so the
    // handler's context is never released.
    auto* control = new ServiceControlContext(stop_requested);
    const SERVICE_STATUS_HANDLE status_handle = RegisterServiceCtrlHandlerExW(SERVICE_NAME, handle_control, control);
    if (status_handle == nullptr) {
        log_service_error(winapi_error(GetLastError()));
        return;
    }

    SERVICE_STATUS running = status_record(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    if (!SetServiceStatus(status_handle, &running)) {
        log_service_error(winapi_error(GetLastError()));
        return;
    }
    // From here on the handler reports a Stop as pending itself; a Stop that
    // came before is reported below, once the flag is seen.
    control->status_handle.store(status_handle);
    report_host_started(host_started_line("service started", GetCurrentProcessId()));

    // Whoever registered the service (install, the MSI, by hand), it is
    // restarted after a crash.
    keep_recovery_actions();

    // Before the first client: at boot, before anyone has logged on.
    prepare_data_folder_at_start(*actions);

    try {
        std::thread(run_pipe_server, PipeServerHost{actions, stop_requested, {}, {}, false}).detach();
    } catch (const std::system_error&) {
        log_message("failed to spawn thread");
        std::abort();
    }
    // Checked at install. A folder made unsafe since is reported here, once
    // the pipe is served; the check before each core start and library load
    // then refuses (or, with the allowance recorded at install, warns again).
    (void)decide_program_trust("program folder", find_unsafe_program_files(*folder), read_unsafe_folder_allowance());

    while (!stop_requested->load())
        (void)control->stop_signal.wait_until(std::chrono::steady_clock::now() + STOP_POLL_INTERVAL);
    // Also when the pipe server set the flag itself.
    report_stop_pending(*control);

    // A stop time-out is logged by the controller and not reported to the SCM.
    (void)stop_core(*core);
    // Client lines held back by the log's rate limit are counted in the log.
    log_pending_summary();
    report_host_stopped("service stopped");

    control->stop_work_done.set();
    // A handler waiting for this stop reports stopped itself: it is awake
    // now and takes the report at once.
    if (stops_in_handler.load() > 0)
        (void)control->stopped.wait_until(std::chrono::steady_clock::now() + HANDOVER_WAIT);
    report_stopped(*control);
}

void report_stopped(ServiceControlContext& context) {
    if (context.stopped_claimed.exchange(true)) return;
    SERVICE_STATUS stopped = status_record(SERVICE_STOPPED, 0);
    if (!SetServiceStatus(context.status_handle.load(), &stopped)) log_service_error(winapi_error(GetLastError()));
    context.stopped.set();
}

void report_stop_pending(ServiceControlContext& context) {
    const SERVICE_STATUS_HANDLE handle = context.status_handle.load();
    if (handle == nullptr || context.stop_reported.exchange(true)) return;
    SERVICE_STATUS pending = status_record(SERVICE_STOP_PENDING, 0);
    pending.dwCheckPoint = 1;
    pending.dwWaitHint = STOP_WAIT_HINT_MS;
    // A failed report changes nothing: the stop goes on and ends with the
    // stopped report.
    (void)SetServiceStatus(handle, &pending);
}

DWORD WINAPI handle_control(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/, LPVOID context) {
    if (control != SERVICE_CONTROL_STOP) return ERROR_CALL_NOT_IMPLEMENTED;
    if (context == nullptr) return NO_ERROR;
    auto& shared = *static_cast<ServiceControlContext*>(context);
    stops_in_handler.fetch_add(1);
    // Pending before the flag is set: the stopped report, which follows the
    // flag, always comes after it.
    report_stop_pending(shared);
    shared.stop_requested->store(true, std::memory_order_seq_cst);
    shared.stop_signal.set();
    // Only a routine that has reported running gets to its stopped report.
    if (shared.status_handle.load() != nullptr &&
        shared.stop_work_done.wait_until(std::chrono::steady_clock::now() + HANDLER_STOP_WAIT))
        report_stopped(shared);
    stops_in_handler.fetch_sub(1);
    return NO_ERROR;
}

}  // namespace velmor
