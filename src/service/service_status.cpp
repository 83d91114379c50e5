#include "service/service_status.hpp"

namespace velmor {
namespace {

using namespace scm;

// The start: the log, the data folder (at most its bound of 10 s) and the
// pipe, with room to spare.
constexpr std::uint32_t START_WAIT_HINT_MS = 30'000;
// The whole stop: the core's stop time-out and its shutdown call, with room
// to spare.
constexpr std::uint32_t STOP_WAIT_HINT_MS = 20'000;

}  // namespace

ControlAnswer answer_control(std::uint32_t control) {
    if (control == control_code::STOP || control == control_code::PRESHUTDOWN) return {NO_ERROR_CODE, true};
    return {CALL_NOT_IMPLEMENTED, false};
}

StatusReport status_report(ServicePhase phase, ServiceFailure failure) {
    switch (phase) {
        case ServicePhase::starting: return {START_PENDING, 0, NO_ERROR_CODE, 0, 1, START_WAIT_HINT_MS};
        case ServicePhase::running: return {RUNNING, ACCEPT_STOP | ACCEPT_PRESHUTDOWN, NO_ERROR_CODE, 0, 0, 0};
        case ServicePhase::stopping: return {STOP_PENDING, 0, NO_ERROR_CODE, 0, 1, STOP_WAIT_HINT_MS};
        case ServicePhase::stopped: break;
    }
    if (failure == ServiceFailure::none) return {STOPPED, 0, NO_ERROR_CODE, 0, 0, 0};
    return {STOPPED, 0, SERVICE_SPECIFIC_ERROR, static_cast<std::uint32_t>(failure), 0, 0};
}

StopStep next_stop_step(std::optional<std::uint32_t> state, std::uint32_t controls_accepted, bool asked) {
    if (!state || *state == STOPPED) return StopStep::done;
    if (!asked && (controls_accepted & ACCEPT_STOP) != 0) return StopStep::ask;
    return StopStep::wait;
}

bool stop_refusal_is_final(std::uint32_t code) {
    return code != SERVICE_CANNOT_ACCEPT_CTRL && code != SERVICE_NOT_ACTIVE;
}

}  // namespace velmor
