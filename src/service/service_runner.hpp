#pragma once
// The service routine and control handler that the Service Control Manager
// runs for the velmor-helper service, and the hand-over to its dispatcher:
// they register and report; what is reported when is the lifecycle's
// (service_lifecycle.hpp).

#include <string_view>

#include "base/error.hpp"
#include "base/names.hpp"
#include "base/win.hpp"
#include "service/service_lifecycle.hpp"

namespace velmor {

// Hands the calling (main) thread to the SCM's service control dispatcher with
// a one-entry table for run_service. Returns once the service has reported
// SERVICE_STOPPED and the Stop that ended it has been answered, or "failed to
// start service dispatcher" with the system error as cause (for instance when
// started from a prompt, not by the SCM).
Result<> run_service_dispatcher();

// The ServiceMain, on a thread the dispatcher creates: the host sequence
// (run_host) with the SCM as host. Registers handle_control, reports through
// the lifecycle, logs why it stops (service_stop_line), stops the core, says
// "service stopped" (also as an event) and ends the lifecycle: exit code 0,
// or a service-specific one (ServiceFailure) when the pipe server gave up or
// the host could not start it, so that the recovery actions restart the
// service. The SCM's arguments are not used. Failures become
// "service error: ..." log lines.
void WINAPI run_service(DWORD argc, LPWSTR* argv);

// The HandlerEx, called by the dispatcher (on the main thread on Windows, on
// a thread of its own under Wine) with the ServiceLifecycle as `context`:
// its control() answer. Takes no lock of its own.
DWORD WINAPI handle_control(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

// The line the service logs as it stops, naming what asked; empty for a
// pipe server's end or a failed report, which are logged where they happen.
std::string_view service_stop_line(StopCause cause);

}  // namespace velmor
