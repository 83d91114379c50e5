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

constexpr DWORD STOP_POLL_INTERVAL_MS = 500;

SERVICE_STATUS status_record(ServicePhase phase, ServiceFailure failure = ServiceFailure::none) {
    const StatusReport report = status_report(phase, failure);
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = report.state;
    status.dwControlsAccepted = report.controls_accepted;
    status.dwWin32ExitCode = report.win32_exit_code;
    status.dwServiceSpecificExitCode = report.specific_exit_code;
    status.dwCheckPoint = report.check_point;
    status.dwWaitHint = report.wait_hint_ms;
    return status;
}

void log_service_error(const Error& error) { log_message("service error: " + error.full_description()); }

// A failed SCM call as the service routine logs it.
Error scm_error(std::string_view call) { return last_call_error(call).context(std::string(SCM_CALL_FAILED)); }

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

// The service's own steps of the host sequence, on the service routine's
// thread but for serving and ended (the pipe server's).
HostHooks service_hooks(ServiceControlContext& control) {
    HostHooks hooks;
    hooks.name = "service started";
    hooks.attach = [&control]() -> Result<> {
        const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(SERVICE_NAME, handle_control, &control);
        if (handle == nullptr) return fail(scm_error("RegisterServiceCtrlHandlerExW"));
        control.status_handle.store(handle);
        // Pending until the pipe is served: a client started once the
        // service runs finds the pipe.
        SERVICE_STATUS starting = status_record(ServicePhase::starting);
        if (!SetServiceStatus(handle, &starting)) return fail(scm_error("SetServiceStatus"));
        // Whoever registered the service (install, the MSI, by hand), it is
        // restarted after a crash.
        keep_recovery_actions();
        return {};
    };
    hooks.serving = [&control] {
        control.served.store(true);
        SetEvent(control.wake.get());
    };
    // A service that waits for its pipe's name reports running all the same:
    // the system refuses every control while a start is pending, so an
    // administrator could not stop it, nor an uninstall or upgrade. The
    // line and the event have named the holder.
    hooks.waiting_for_name = hooks.serving;
    hooks.ended = [&control](PipeServerEnd end, const Error&) {
        // The server has logged why; the SCM learns it from the exit code.
        if (end != PipeServerEnd::stopped) control.failure.store(ServiceFailure::pipe_server_failed);
        control.stop_requested->store(true);
        SetEvent(control.wake.get());
    };
    hooks.wait_for_stop = [&control] {
        while (!control.stop_requested->load()) {
            // Reported here, on the routine's thread, so that it never
            // follows a stop's report.
            if (control.served.load() && !control.running.load()) {
                SERVICE_STATUS running = status_record(ServicePhase::running);
                if (!SetServiceStatus(control.status_handle.load(), &running)) {
                    log_service_error(scm_error("SetServiceStatus"));
                    control.failure.store(ServiceFailure::host_failed);
                    break;
                }
                control.running.store(true);
            }
            WaitForSingleObject(control.wake.get(), STOP_POLL_INTERVAL_MS);
        }
        // Also when the pipe server set the flag itself.
        report_stop_pending(control);
        return std::string();
    };
    return hooks;
}

}  // namespace

ServiceControlContext::ServiceControlContext(std::shared_ptr<std::atomic<bool>> flag)
    : stop_requested(std::move(flag)), wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

Result<> run_service_dispatcher() {
    const SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(SERVICE_NAME), run_service},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(table))
        return fail(last_call_error("StartServiceCtrlDispatcherW").context("failed to start service dispatcher"));
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

// The SCM passes the service name and any start arguments; none is used.
void WINAPI run_service(DWORD /*argc*/, LPWSTR* /*argv*/) {
    auto stop_requested = std::make_shared<std::atomic<bool>>(false);
    // The dispatcher may call the handler with this context up to the moment
    // the process ends, also after this routine has returned, so the
    // handler's context is never released.
    auto* control = new ServiceControlContext(stop_requested);

    if (Result<> ran = run_host(service_hooks(*control), stop_requested); !ran) {
        log_service_error(ran.error());
        // Nothing reported yet: the SCM sees the start fail by itself.
        if (control->status_handle.load() == nullptr) return;
        control->failure.store(ServiceFailure::host_failed);
    } else {
        report(EventId::service_stopped, "service stopped");
    }

    control->stop_work_done.set();
    // A handler waiting for this stop reports stopped itself: it is awake
    // now and takes the report at once.
    if (stops_in_handler.load() > 0)
        (void)control->stopped.wait_until(std::chrono::steady_clock::now() + HANDOVER_WAIT);
    report_stopped(*control);
}

void report_stopped(ServiceControlContext& context) {
    if (context.stopped_claimed.exchange(true)) return;
    SERVICE_STATUS stopped = status_record(ServicePhase::stopped, context.failure.load());
    if (!SetServiceStatus(context.status_handle.load(), &stopped)) log_service_error(scm_error("SetServiceStatus"));
    context.stopped.set();
}

void report_stop_pending(ServiceControlContext& context) {
    const SERVICE_STATUS_HANDLE handle = context.status_handle.load();
    if (handle == nullptr || context.stop_reported.exchange(true)) return;
    SERVICE_STATUS pending = status_record(ServicePhase::stopping);
    // A failed report changes nothing: the stop goes on and ends with the
    // stopped report.
    (void)SetServiceStatus(handle, &pending);
}

DWORD WINAPI handle_control(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/, LPVOID context) {
    const ControlAnswer answer = answer_control(control);
    if (!answer.stops || context == nullptr) return answer.code;
    auto& shared = *static_cast<ServiceControlContext*>(context);
    stops_in_handler.fetch_add(1);
    // Pending before the flag is set: the stopped report, which follows the
    // flag, always comes after it.
    if (shared.running.load()) report_stop_pending(shared);
    shared.stop_requested->store(true, std::memory_order_seq_cst);
    SetEvent(shared.wake.get());
    // Only a routine that has reported running gets to its stopped report.
    if (shared.running.load() &&
        shared.stop_work_done.wait_until(std::chrono::steady_clock::now() + HANDLER_STOP_WAIT))
        report_stopped(shared);
    stops_in_handler.fetch_sub(1);
    return answer.code;
}

}  // namespace velmor
