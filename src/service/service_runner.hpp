#pragma once
// The service routine and control handler that the Service Control Manager
// runs for the velmor-helper service, and the hand-over to its dispatcher.

#include <atomic>
#include <chrono>
#include <memory>

#include "base/error.hpp"
#include "base/names.hpp"
#include "base/win.hpp"
#include "core/core_state.hpp"
#include "service/service_status.hpp"

namespace velmor {

// Hands the calling (main) thread to the SCM's service control dispatcher with
// a one-entry table for run_service. Returns once the service has reported
// SERVICE_STOPPED and the Stop that ended it has been answered, or "failed to start service dispatcher" with the system
// error as cause (for instance when started from a prompt, not by the SCM).
Result<> run_service_dispatcher();

// The ServiceMain, on a thread the dispatcher creates: the host sequence
// (run_host) with the SCM as host. Reports START_PENDING once its handler is
// registered and RUNNING once the pipe is served; waits for the stop flag
// (woken by the handler and the pipe server, and looked at every 500 ms),
// reports the stop as pending (when the handler has not), stops the core,
// says "service stopped" (also as an event) and reports stopped: exit code 0,
// or a service-specific one (ServiceFailure) when the pipe server gave up or
// the host could not start it, so that the recovery actions restart the
// service. The SCM's arguments are not used. Failures become
// "service error: ..." log lines.
void WINAPI run_service(DWORD argc, LPWSTR* argv);

// What the control handler and the service routine share: the stop flag,
// the status handle, and what the pipe server reported.
struct ServiceControlContext {
    explicit ServiceControlContext(std::shared_ptr<std::atomic<bool>> flag);
    const std::shared_ptr<std::atomic<bool>> stop_requested;
    std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};
    // Set once RUNNING has been reported: only then does the handler take a
    // stop, and report it stopped.
    std::atomic<bool> running{false};
    // Set by the pipe server once the pipe is served.
    std::atomic<bool> served{false};
    // Why the run ends with an error, if it does: the stopped report's code.
    std::atomic<ServiceFailure> failure{ServiceFailure::none};
    // Set by whoever reports SERVICE_STOP_PENDING first: it is reported once.
    std::atomic<bool> stop_reported{false};
    // Wakes the service routine: the pipe served, the server gone, a stop.
    // Auto-reset.
    unique_handle wake;
    // Set by the service routine once the core has stopped (or its stop
    // timed out): all that is left is the stopped report.
    Signal stop_work_done;
    // Taken by whoever reports SERVICE_STOPPED: the handler that waits for
    // the stop, or else the service routine.
    std::atomic<bool> stopped_claimed{false};
    // Set once SERVICE_STOPPED has been reported.
    Signal stopped;
};

// How long the handler waits for the core to stop: below the 30 s in which
// Windows wants a handler to answer and the 10 s of Wine's SCM.
inline constexpr std::chrono::seconds HANDLER_STOP_WAIT{8};

// Reports SERVICE_STOP_PENDING, accepting nothing, unless it has been
// reported already or the status handle is not set yet. Any thread.
void report_stop_pending(ServiceControlContext& context);

// Reports SERVICE_STOPPED (exit code 0, or the context's failure) unless
// someone has already: the routine's last report, made by the handler that
// waits for the stop.
void report_stopped(ServiceControlContext& context);

// The HandlerEx, called by the dispatcher (on the main thread on Windows,
// on a thread of its own under Wine). `context` is the
// ServiceControlContext. Stop and pre-shutdown (answer_control) report the
// stop as pending (so that the SCM
// refuses further controls until the service has stopped, and Wine's SCM
// does not kill it at a second Stop), sets the flag and, once the service
// has reported running, waits up to HANDLER_STOP_WAIT for the core to stop
// and then reports SERVICE_STOPPED itself before it answers NO_ERROR:
// whoever sent the Stop finds the service stopped when the control returns,
// also an installer that does not wait for SERVICE_STOPPED (Wine's
// msiexec). The report is made here, not by the routine, because Wine calls
// the handler holding the lock its SetServiceStatus takes for a stopped
// report. Every other control answers ERROR_CALL_NOT_IMPLEMENTED and changes
// nothing. Takes no lock; logs only a failed stopped report.
DWORD WINAPI handle_control(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

}  // namespace velmor
