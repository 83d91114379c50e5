// What the service tells the SCM in each phase, and which controls stop it:
// the decisions behind the reports, which Wine's service manager shows only
// in part.

#include "service/service_status.hpp"

#include <gtest/gtest.h>

namespace velmor {
namespace {

TEST(AnswerControl, StopAndPreshutdownStopTheServiceAndNothingElseDoes) {
    struct Case {
        std::uint32_t control;
        std::uint32_t code;
        bool stops;
    };
    const Case cases[] = {
        {control_code::STOP, 0, true},
        {control_code::PRESHUTDOWN, 0, true},
        // Shutdown is not asked for (pre-shutdown is, earlier and with more
        // time): it never reaches a service that does not accept it.
        {control_code::SHUTDOWN, 120, false},
        {control_code::INTERROGATE, 120, false},
        {2, 120, false},    // pause
        {3, 120, false},    // continue
        {0, 120, false},
        {128, 120, false},  // first user code
        {0xFFFFFFFF, 120, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        const ControlAnswer answer = answer_control(c.control);
        EXPECT_EQ(answer.code, c.code);
        EXPECT_EQ(answer.stops, c.stops);
    }
}

TEST(StatusReport, PendingUntilServedAndAFailureCarriesItsOwnExitCode) {
    struct Case {
        const char* label;
        ServicePhase phase;
        ServiceFailure failure;
        StatusReport expected;
    };
    const Case cases[] = {
        // No control while starting: a stop then could come before the
        // pipe server exists.
        {"starting", ServicePhase::starting, ServiceFailure::none, {2, 0, 0, 0, 1, 30'000}},
        {"running: Stop and pre-shutdown", ServicePhase::running, ServiceFailure::none, {4, 0x101, 0, 0, 0, 0}},
        {"stopping", ServicePhase::stopping, ServiceFailure::none, {3, 0, 0, 0, 1, 20'000}},
        {"stopped", ServicePhase::stopped, ServiceFailure::none, {1, 0, 0, 0, 0, 0}},
        // ERROR_SERVICE_SPECIFIC_ERROR: the recovery actions run for it.
        {"stopped: the pipe server gave up", ServicePhase::stopped, ServiceFailure::pipe_server_failed,
         {1, 0, 1066, 1, 0, 0}},
        {"stopped: the host failed", ServicePhase::stopped, ServiceFailure::host_failed, {1, 0, 1066, 2, 0, 0}},
        // Only the last report carries an exit code.
        {"running after a failure", ServicePhase::running, ServiceFailure::pipe_server_failed, {4, 0x101, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(status_report(c.phase, c.failure), c.expected);
    }
}

}  // namespace
}  // namespace velmor
