#include "service/service_runner.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "base/os_error.hpp"
#include "env/log.hpp"
#include "service/host.hpp"
#include "service/host_report.hpp"
#include "service/install.hpp"
#include "service/service_status.hpp"

// The portable copies of the SCM's values (service_status.hpp) are Windows' own.
static_assert(velmor::control_code::STOP == SERVICE_CONTROL_STOP);
static_assert(velmor::control_code::INTERROGATE == SERVICE_CONTROL_INTERROGATE);
static_assert(velmor::control_code::SHUTDOWN == SERVICE_CONTROL_SHUTDOWN);
static_assert(velmor::control_code::PRESHUTDOWN == SERVICE_CONTROL_PRESHUTDOWN);
static_assert(velmor::scm::NO_ERROR_CODE == NO_ERROR);
static_assert(velmor::scm::CALL_NOT_IMPLEMENTED == ERROR_CALL_NOT_IMPLEMENTED);
static_assert(velmor::scm::SERVICE_SPECIFIC_ERROR == ERROR_SERVICE_SPECIFIC_ERROR);
static_assert(velmor::scm::STOPPED == SERVICE_STOPPED);
static_assert(velmor::scm::START_PENDING == SERVICE_START_PENDING);
static_assert(velmor::scm::STOP_PENDING == SERVICE_STOP_PENDING);
static_assert(velmor::scm::RUNNING == SERVICE_RUNNING);
static_assert(velmor::scm::ACCEPT_STOP == SERVICE_ACCEPT_STOP);
static_assert(velmor::scm::ACCEPT_PRESHUTDOWN == SERVICE_ACCEPT_PRESHUTDOWN);

namespace velmor {
namespace {

void log_service_error(const Error& error) { log_message("service error: " + error.full_description()); }

// A failed SCM call as the service routine logs it.
Error scm_error(std::string_view call) { return last_call_error(call).context(std::string(SCM_CALL_FAILED)); }

// Set once the handler is registered; read by whoever reports.
std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};

bool report_status(ServicePhase phase, ServiceFailure failure) {
    const StatusReport report = status_report(phase, failure);
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = report.state;
    status.dwControlsAccepted = report.controls_accepted;
    status.dwWin32ExitCode = report.win32_exit_code;
    status.dwServiceSpecificExitCode = report.specific_exit_code;
    status.dwCheckPoint = report.check_point;
    status.dwWaitHint = report.wait_hint_ms;
    if (SetServiceStatus(status_handle.load(), &status)) return true;
    log_service_error(scm_error("SetServiceStatus"));
    return false;
}

// Made before the dispatcher starts and never destroyed: the dispatcher may
// call the handler with it up to the moment the process ends.
ServiceLifecycle* lifecycle = nullptr;

// Under Wine, what the dispatcher's own thread needs to send the handler's
// answer once the handler has returned. Short: until the process has ended,
// its executable cannot be removed, and Wine's msiexec, which does not wait,
// removes it right after the Stop.
constexpr auto ANSWER_GRACE = std::chrono::milliseconds(2);

// The service's own steps of the host sequence, on the service routine's
// thread but for serving and ended (the pipe server's).
HostHooks service_hooks(ServiceLifecycle& life, const std::shared_ptr<std::atomic<bool>>& stop_requested) {
    HostHooks hooks;
    hooks.name = "service started";
    hooks.attach = [&life]() -> Result<> {
        const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(SERVICE_NAME, handle_control, &life);
        if (handle == nullptr) return fail(scm_error("RegisterServiceCtrlHandlerExW"));
        status_handle.store(handle);
        if (!life.start()) return fail("cannot report the start to the service manager");
        return {};
    };
    // Whoever registered the service (install, the MSI, by hand), it is
    // restarted after a crash. Once the log is the service's own.
    hooks.held = [] { keep_recovery_actions(); };
    hooks.serving = [&life] { life.served(); };
    // A service that waits for its pipe's name reports running all the same:
    // the system refuses every control while a start is pending, so an
    // administrator could not stop it, nor an uninstall or upgrade. The
    // line and the event have named the holder.
    hooks.waiting_for_name = hooks.serving;
    // The server has logged why; the SCM learns it from the exit code.
    hooks.ended = [&life](PipeServerEnd end, const Error&) {
        life.server_ended(end == PipeServerEnd::stopped ? ServiceFailure::none : ServiceFailure::pipe_server_failed);
    };
    hooks.wait_for_stop = [&life, stop_requested] {
        const std::string_view line = service_stop_line(life.wait_for_stop());
        stop_requested->store(true);
        if (!line.empty()) log_message(line);
        return std::string();
    };
    return hooks;
}

}  // namespace

std::string_view service_stop_line(StopCause cause) {
    switch (cause) {
        case StopCause::stop_control: return "service ending: stop requested by the service manager; stopping the core";
        case StopCause::preshutdown: return "service ending: the system is shutting down; stopping the core";
        case StopCause::none:
        case StopCause::server_ended:
        case StopCause::report_failed: break;
    }
    return {};
}

Result<> run_service_dispatcher() {
    lifecycle = new ServiceLifecycle(report_status);
    const SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(SERVICE_NAME), run_service},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(table))
        return fail(last_call_error("StartServiceCtrlDispatcherW").context("failed to start service dispatcher"));
    // The process must outlive the answer to the Stop that ended it, or the
    // sender sees the control fail. Never the case on Windows, where the
    // dispatcher comes back only after the handler has answered.
    if (lifecycle->wait_for_handlers(std::chrono::steady_clock::now() + HANDLER_STOP_WAIT))
        std::this_thread::sleep_for(ANSWER_GRACE);
    return {};
}

// The SCM passes the service name and any start arguments; none is used.
void WINAPI run_service(DWORD /*argc*/, LPWSTR* /*argv*/) {
    auto stop_requested = std::make_shared<std::atomic<bool>>(false);
    ServiceFailure failure = ServiceFailure::none;
    if (Result<> ran = run_host(service_hooks(*lifecycle, stop_requested), stop_requested); !ran) {
        log_service_error(ran.error());
        failure = ServiceFailure::host_failed;
    } else {
        report(EventId::service_stopped, "service stopped");
    }
    lifecycle->finish(failure);
}

DWORD WINAPI handle_control(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/, LPVOID context) {
    if (context == nullptr) return answer_control(control).code;
    return static_cast<ServiceLifecycle*>(context)->control(control);
}

}  // namespace velmor
