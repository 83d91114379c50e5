// What the service tells the SCM in each phase, and which controls stop it:
// the decisions behind the reports, which Wine's service manager shows only
// in part.

#include "service/service_status.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

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

// The rules the SCM documents for SERVICE_STATUS (SetServiceStatus), held by
// every report: each phase's state; a pending state with a check point and a
// wait hint, any other without; controls accepted only while running, and
// exactly those answer_control acts on; an exit code only in the last report,
// ERROR_SERVICE_SPECIFIC_ERROR with a code of each failure's own. The values
// named in service_status.hpp are checked against <windows.h> by the build.
TEST(StatusReport, EveryReportKeepsTheServiceManagersRules) {
    const std::pair<ServicePhase, std::uint32_t> phases[] = {{ServicePhase::starting, scm::START_PENDING},
                                                             {ServicePhase::running, scm::RUNNING},
                                                             {ServicePhase::stopping, scm::STOP_PENDING},
                                                             {ServicePhase::stopped, scm::STOPPED}};
    const ServiceFailure failures[] = {ServiceFailure::none, ServiceFailure::pipe_server_failed,
                                       ServiceFailure::host_failed};
    std::vector<std::uint32_t> failure_codes;
    for (const auto& [phase, state] : phases) {
        for (const ServiceFailure failure : failures) {
            SCOPED_TRACE(std::to_string(state) + "/" + std::to_string(static_cast<std::uint32_t>(failure)));
            const StatusReport report = status_report(phase, failure);
            EXPECT_EQ(report.state, state);
            const bool pending = state == scm::START_PENDING || state == scm::STOP_PENDING;
            EXPECT_EQ(report.check_point != 0, pending);
            EXPECT_EQ(report.wait_hint_ms != 0, pending);
            // No control while starting: a stop then could come before the
            // pipe server exists.
            EXPECT_EQ(report.controls_accepted,
                      state == scm::RUNNING ? scm::ACCEPT_STOP | scm::ACCEPT_PRESHUTDOWN : 0u);
            // Only the last report carries an exit code, and only after a failure.
            const bool failed = state == scm::STOPPED && failure != ServiceFailure::none;
            EXPECT_EQ(report.win32_exit_code, failed ? scm::SERVICE_SPECIFIC_ERROR : scm::NO_ERROR_CODE);
            EXPECT_EQ(report.specific_exit_code != 0, failed);
            if (failed) failure_codes.push_back(report.specific_exit_code);
        }
    }
    // Each failure is told apart by its code.
    ASSERT_EQ(failure_codes.size(), 2u);
    EXPECT_NE(failure_codes[0], failure_codes[1]);
    // Every control a running service accepts is one that stops it.
    EXPECT_TRUE(answer_control(control_code::STOP).stops);
    EXPECT_TRUE(answer_control(control_code::PRESHUTDOWN).stops);
    // The start's hint covers the data folder's bound of 10 s; the stop's the
    // core's stop time-out.
    EXPECT_GT(status_report(ServicePhase::starting).wait_hint_ms, 10'000u);
    EXPECT_GT(status_report(ServicePhase::stopping).wait_hint_ms, 10'000u);
}

// Uninstall's stop: asked once, only while accepted; a refusal ends the
// wait only when no later status can change it.
TEST(StopStep, AsksOnlyWhatTheServiceAcceptsAndWaitsForTheStoppedReport) {
    using enum StopStep;
    const std::tuple<std::optional<std::uint32_t>, std::uint32_t, bool, StopStep> rows[] = {
        {std::nullopt, 0, false, done}, {scm::STOPPED, 0, false, done}, {scm::RUNNING, scm::ACCEPT_STOP, false, ask},
        {scm::RUNNING, scm::ACCEPT_STOP, true, wait}, {scm::RUNNING, scm::ACCEPT_PRESHUTDOWN, false, wait}};
    for (const auto& [state, accepted, asked, step] : rows)
        EXPECT_EQ(next_stop_step(state, accepted, asked), step) << state.value_or(0) << "/" << asked;
    EXPECT_FALSE(stop_refusal_is_final(scm::SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_FALSE(stop_refusal_is_final(scm::SERVICE_NOT_ACTIVE));
    EXPECT_TRUE(stop_refusal_is_final(5));  // access denied
}

}  // namespace
}  // namespace velmor
