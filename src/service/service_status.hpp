#pragma once
// What the service tells the Service Control Manager, decided apart from the
// SCM calls: which controls it takes, and the status report of each phase of
// its run. Portable: the values are those Windows gives them, named apart
// from the Windows macros. Any thread; nothing is shared.

#include <cstdint>
#include <optional>

namespace velmor {

// Control codes the handler is sent.
namespace control_code {
inline constexpr std::uint32_t STOP = 1;
inline constexpr std::uint32_t INTERROGATE = 4;
inline constexpr std::uint32_t SHUTDOWN = 5;
inline constexpr std::uint32_t PRESHUTDOWN = 15;
}  // namespace control_code

// The error codes, states and accepted controls of a status report. Each
// value here is checked against <windows.h> in service_runner_win32.cpp.
namespace scm {
inline constexpr std::uint32_t NO_ERROR_CODE = 0;
inline constexpr std::uint32_t CALL_NOT_IMPLEMENTED = 120;
inline constexpr std::uint32_t SERVICE_SPECIFIC_ERROR = 1066;
inline constexpr std::uint32_t STOPPED = 1, START_PENDING = 2, STOP_PENDING = 3, RUNNING = 4;
inline constexpr std::uint32_t ACCEPT_STOP = 0x1, ACCEPT_PRESHUTDOWN = 0x100;
inline constexpr std::uint32_t SERVICE_CANNOT_ACCEPT_CTRL = 1061, SERVICE_NOT_ACTIVE = 1062;
}  // namespace scm

// The handler's answer to one control: NO_ERROR and the stop sequence for
// Stop and pre-shutdown (the system going down: the core is stopped as on
// Stop, within the time the system gives, instead of being killed with the
// process), ERROR_CALL_NOT_IMPLEMENTED and no change for every other code.
struct ControlAnswer {
    std::uint32_t code = 0;
    bool stops = false;
};
ControlAnswer answer_control(std::uint32_t control);

// Why a service run ends with an error, as its service-specific exit code:
// the SCM then runs the recovery actions (install sets them also for
// failures that are no crash), so a helper that cannot serve is restarted.
enum class ServiceFailure : std::uint32_t {
    none = 0,
    pipe_server_failed = 1,  // the control pipe could not be made or served
    host_failed = 2,         // the host could not start what it runs (a thread)
};

enum class ServicePhase { starting, running, stopping, stopped };

// One status report, as SERVICE_STATUS holds it (the service type aside).
struct StatusReport {
    std::uint32_t state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t specific_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint_ms = 0;
    bool operator==(const StatusReport&) const = default;
};

// starting: START_PENDING, nothing accepted, until the pipe is served;
// running: RUNNING, Stop and pre-shutdown accepted; stopping: STOP_PENDING,
// nothing accepted, with a hint that covers the whole stop; stopped:
// STOPPED, exit code 0 or, for a `failure`, ERROR_SERVICE_SPECIFIC_ERROR
// with the failure as service-specific code.
StatusReport status_report(ServicePhase phase, ServiceFailure failure = ServiceFailure::none);

// Stopping a service from outside (uninstall), one look at its status at a
// time. The service manager forwards a control only while the status accepts
// it: a stop sent while the service starts fails with
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL and is not kept, so it is asked once the
// service accepts it (a service that only waited would run on, its
// registration marked for deletion). `state` and `controls_accepted` are
// what the service manager reports, no state when it cannot be queried any
// more (gone: nothing left to wait for); `asked` whether a stop was taken.
enum class StopStep { done, ask, wait };
StopStep next_stop_step(std::optional<std::uint32_t> state, std::uint32_t controls_accepted, bool asked);

// Whether a refused stop ends the wait: not for a service that cannot take
// one at this moment (1061: it starts or stops) or has just stopped (1062),
// whose next status decides; for any other refusal (access denied), yes.
bool stop_refusal_is_final(std::uint32_t code);

}  // namespace velmor
