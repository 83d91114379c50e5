#pragma once
// The service routine and control handler that the Service Control Manager
// runs for the velmor-helper service, and the hand-over to its dispatcher.

#include <atomic>
#include <memory>

#include "base/error.hpp"
#include "base/win.hpp"

namespace velmor {

// The service's name in the SCM: the dispatcher table, the handler
// registration and the install commands.
inline constexpr wchar_t SERVICE_NAME[] = L"velmor-helper";

// Hands the calling (main) thread to the SCM's service control dispatcher with
// a one-entry table for run_service. Returns once the service has reported
// SERVICE_STOPPED, or "failed to start service dispatcher" with the system
// error as cause (for instance when started from a prompt, not by the SCM).
Result<> run_service_dispatcher();

// The ServiceMain, on a thread the dispatcher creates: opens the log, reports
// running, prepares the data folder (prepare_data_folder_at_start), starts
// the control pipe server, waits for the stop flag (looked at
// every 500 ms), reports the stop as pending (when the handler has not),
// stops the core and reports stopped. The SCM's arguments are
// ignored. Failures become "service error: ..." log lines.
void WINAPI run_service(DWORD argc, LPWSTR* argv);

// What the control handler works on: the stop flag it sets and, once the
// service has reported running, the status handle through which it reports
// the stop as pending before it answers.
struct ServiceControlContext {
    explicit ServiceControlContext(std::shared_ptr<std::atomic<bool>> flag) : stop_requested(std::move(flag)) {}
    const std::shared_ptr<std::atomic<bool>> stop_requested;
    std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};
    // Set by whoever reports SERVICE_STOP_PENDING first: it is reported once.
    std::atomic<bool> stop_reported{false};
};

// Reports SERVICE_STOP_PENDING, accepting nothing, unless it has been
// reported already or the status handle is not set yet. Any thread.
void report_stop_pending(ServiceControlContext& context);

// The HandlerEx, called by the dispatcher on the main thread. `context` is
// the ServiceControlContext. Stop reports the stop as pending (so that the
// SCM refuses further controls until the service has stopped, and Wine's SCM
// does not kill it at a second Stop), then sets the flag and answers
// NO_ERROR; every other control answers ERROR_CALL_NOT_IMPLEMENTED and
// changes nothing. Never blocks or locks beyond that one report, and never
// logs.
DWORD WINAPI handle_control(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

}  // namespace velmor
