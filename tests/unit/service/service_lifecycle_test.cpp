#include "service/service_lifecycle.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/explorer.hpp"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using explorer::Duration;

// Each control, alone, on a fresh lifecycle that has reported nothing: only
// Stop and pre-shutdown end the wait for a stop, and they name themselves.
TEST(ServiceLifecycle, OnlyStopAndPreshutdownAskForTheStop) {
    const struct {
        std::uint32_t control;
        std::uint32_t answer;
        StopCause cause;
    } rows[] = {{control_code::STOP, 0, StopCause::stop_control},
                {control_code::PRESHUTDOWN, 0, StopCause::preshutdown},
                {control_code::INTERROGATE, 120, StopCause::none}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.control);
        std::vector<ServicePhase> reports;
        ServiceLifecycle life([&](ServicePhase phase, ServiceFailure) { return reports.push_back(phase), true; });
        EXPECT_EQ(life.control(row.control), row.answer);
        EXPECT_EQ(life.control(row.control), row.answer) << "a second one is answered alike";
        // A refused control leaves the server to end the wait.
        if (row.cause == StopCause::none) life.server_ended(ServiceFailure::none);
        EXPECT_EQ(life.wait_for_stop(), row.cause == StopCause::none ? StopCause::server_ended : row.cause);
        life.finish(ServiceFailure::none);
        EXPECT_TRUE(reports.empty()) << "nothing is reported before the start";
    }
}

// The service routine, the pipe server and the control handlers over every
// schedule, in virtual time. Each status report takes a little time, and the
// stopped report takes the service manager's lock, which (as under Wine)
// the handlers hold while they run. Checked: the reports keep the phases'
// order and the stopped one comes last with its exit code, after the core's
// stop; a stop is never lost, whenever it comes; a handler that found the
// service running answers only once the core has stopped or its wait is up;
// nobody waits for ever.

struct Control {
    Duration at;
    std::uint32_t code;
};

struct Scenario {
    std::string name;
    Duration served_at;  // Duration::max(): never
    Duration server_fails_at;
    std::vector<Control> controls;
    Duration stop_work;
    bool running_report_fails;
    ServiceFailure exit_code;
};

struct LifeModel : explorer::Model {
    LifeModel(explorer::Schedule& s, const Scenario& c) : schedule(s), scenario(c) {}
    explorer::Schedule& schedule;
    const Scenario& scenario;
    BasicServiceLifecycle<explorer::NamingSync> life{[this](ServicePhase p, ServiceFailure f) { return report(p, f); }};
    const void* const life_changed = explorer::LatestCondition::latest;
    explorer::Mutex manager_lock;
    int manager_holder = -1;
    std::vector<std::pair<ServicePhase, ServiceFailure>> reports;
    bool work_done = false;
    bool routine_done = false;
    std::size_t handlers_done = 0;

    std::string name_of(const void* object) const override {
        if (object == life_changed) return "the lifecycle's wake-up";
        return object == &manager_lock ? "the service manager's lock" : std::string();
    }

    bool report(ServicePhase phase, ServiceFailure failure) {
        const bool takes_lock = phase == ServicePhase::stopped && manager_holder != explorer::Schedule::self();
        if (takes_lock) manager_lock.lock();
        explorer::sleep_for(10ms);
        explorer::Schedule::Lock big(schedule.big);
        schedule.note("reports phase " + std::to_string(static_cast<int>(phase)));
        if (!reports.empty() && reports.back().first >= phase) schedule.fail("a report out of order or repeated");
        if (phase == ServicePhase::stopped && !work_done) schedule.fail("stopped reported before the core's stop");
        reports.emplace_back(phase, failure);
        big.unlock();
        if (takes_lock) manager_lock.unlock();
        return !(phase == ServicePhase::running && scenario.running_report_fails);
    }

    void set(bool& flag) {
        explorer::Schedule::Lock big(schedule.big);
        flag = true;
    }

    void routine() {
        life.start();
        (void)life.wait_for_stop();
        explorer::sleep_for(scenario.stop_work);
        set(work_done);
        life.finish(ServiceFailure::none);
        set(routine_done);
    }

    void pipe_server() {
        if (scenario.served_at != Duration::max()) {
            explorer::sleep_for(scenario.served_at);
            life.served();
        }
        if (scenario.server_fails_at == Duration::max()) return;
        explorer::sleep_for(scenario.server_fails_at -
                            (scenario.served_at == Duration::max() ? Duration::zero() : scenario.served_at));
        life.server_ended(ServiceFailure::pipe_server_failed);
    }

    void handler(const Control& control) {
        explorer::sleep_for(control.at);
        manager_lock.lock();
        bool found_running = false;
        explorer::Time entered;
        {
            explorer::Schedule::Lock big(schedule.big);
            manager_holder = explorer::Schedule::self();
            entered = schedule.now;
            found_running = !reports.empty() && reports.back().first == ServicePhase::running;
        }
        (void)life.control(control.code);
        {
            explorer::Schedule::Lock big(schedule.big);
            if (found_running && !work_done && schedule.now < entered + HANDLER_STOP_WAIT)
                schedule.fail("a handler answered before the core's stop");
            manager_holder = -1;
            ++handlers_done;
        }
        manager_lock.unlock();
    }

    void at_rest() override {
        if (!routine_done || handlers_done != scenario.controls.size())
            return schedule.fail("the routine or a handler never ended");
        if (reports.empty() || reports.back().first != ServicePhase::stopped)
            return schedule.fail("the last report is not the stopped one");
        if (reports.back().second != scenario.exit_code) schedule.fail("the stopped report has the wrong exit code");
    }
};

TEST(ServiceLifecycle, ExploredOneStoppedReportLastAfterTheCoresStopAndNoStopLost) {
    const Duration never = Duration::max();
    const Control stop{1s, control_code::STOP}, early_stop{10ms, control_code::STOP};
    const Scenario scenarios[] = {
        {"a stop while running", 100ms, never, {stop}, 1s, false, ServiceFailure::none},
        // Windows sends none while START_PENDING accepts nothing; Wine may.
        {"a stop before the pipe is served", 100ms, never, {early_stop}, 1s, false, ServiceFailure::none},
        {"a stop as the pipe is served", 100ms, never, {{100ms, control_code::STOP}}, 1s, false, ServiceFailure::none},
        {"pre-shutdown and a stop together", 100ms, never, {stop, {1s, control_code::PRESHUTDOWN}}, 1s, false,
         ServiceFailure::none},
        {"the pipe server gives up as a stop comes", 100ms, 1s, {stop}, 1s, false, ServiceFailure::pipe_server_failed},
        {"the pipe server gives up while starting", never, 100ms, {}, 1s, false, ServiceFailure::pipe_server_failed},
        {"a core's stop longer than the handler waits", 100ms, never, {stop}, 10s, false, ServiceFailure::none},
        {"the running report fails", 100ms, never, {}, 1s, true, ServiceFailure::host_failed},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        const explorer::Explored explored = explorer::explore({.bound = 2, .slow_thread = 0s}, [&](explorer::Schedule& s) {
            auto m = std::make_unique<LifeModel>(s, scenario);
            s.add_thread("routine", [&m = *m] { m.routine(); });
            s.add_thread("pipe server", [&m = *m] { m.pipe_server(); });
            for (const Control& control : scenario.controls)
                s.add_thread("handler", [&m = *m, &control] { m.handler(control); });
            return m;
        });
        explorer::print_summary(scenario.name, 2, explored);
        EXPECT_FALSE(explored.failure) << *explored.failure;
    }
}

}  // namespace
}  // namespace velmor
