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
#include "service/winapi_error.hpp"

namespace velmor {
namespace {

constexpr auto STOP_POLL_INTERVAL = std::chrono::milliseconds(500);

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

}  // namespace

Result<> run_service_dispatcher() {
    const SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(SERVICE_NAME), run_service},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(table)) {
        return fail(Error("failed to start service dispatcher", os_error(GetLastError())));
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

    // The dispatcher may call the handler with this context up to the moment
    // the process ends, also after this routine has returned, so the handler's
    // reference to the flag is never released.
    auto* handler_reference = new std::shared_ptr<std::atomic<bool>>(stop_requested);
    const SERVICE_STATUS_HANDLE status_handle =
        RegisterServiceCtrlHandlerExW(SERVICE_NAME, handle_control, handler_reference->get());
    if (status_handle == nullptr) {
        log_service_error(winapi_error(GetLastError()));
        return;
    }

    SERVICE_STATUS running = status_record(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    if (!SetServiceStatus(status_handle, &running)) {
        log_service_error(winapi_error(GetLastError()));
        return;
    }

    try {
        std::thread(run_pipe_server, core, stop_requested).detach();
    } catch (const std::system_error&) {
        log_message("failed to spawn thread");
        std::abort();
    }
    // Checked at install. A folder made unsafe since is reported here, once
    // the pipe is served; the check before each core start and library load
    // then refuses (or, with the allowance recorded at install, warns again).
    (void)decide_program_trust("program folder", find_unsafe_program_files(*folder), read_unsafe_folder_allowance());

    while (!stop_requested->load()) std::this_thread::sleep_for(STOP_POLL_INTERVAL);

    // A stop time-out is logged by the controller and not reported to the SCM.
    (void)stop_core(*core);
    // Client lines held back by the log's rate limit are counted in the log.
    log_pending_summary();

    SERVICE_STATUS stopped = status_record(SERVICE_STOPPED, 0);
    if (!SetServiceStatus(status_handle, &stopped)) log_service_error(winapi_error(GetLastError()));
}

DWORD WINAPI handle_control(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/, LPVOID context) {
    if (control != SERVICE_CONTROL_STOP) return ERROR_CALL_NOT_IMPLEMENTED;
    if (context != nullptr) static_cast<std::atomic<bool>*>(context)->store(true, std::memory_order_seq_cst);
    return NO_ERROR;
}

}  // namespace velmor
