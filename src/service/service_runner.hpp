#pragma once
// The service routine and control handler that the Service Control Manager
// runs for the velmor-helper service, and the hand-over to its dispatcher.

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
// running, starts the control pipe server, waits for the stop flag (looked at
// every 500 ms), stops the core and reports stopped. The SCM's arguments are
// ignored. Failures become "service error: ..." log lines.
void WINAPI run_service(DWORD argc, LPWSTR* argv);

// The HandlerEx, called by the dispatcher on the main thread. `context` is the
// std::atomic<bool> stop flag. Stop sets it and answers NO_ERROR; every other
// control answers ERROR_CALL_NOT_IMPLEMENTED and changes nothing. Never
// blocks, locks or logs.
DWORD WINAPI handle_control(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

}  // namespace velmor
