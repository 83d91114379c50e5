// The controller and the core thread explored over every schedule of small
// scenarios (support/explorer.hpp). This file is built with the explorer's
// primitives (core_sync_explored.hpp), so start_core, stop_core and
// run_core_thread below are the real code run one step at a time; the
// machine lock and the core library are models. Which of the library's
// shutdown calls is slow is a free choice.
//
// Checked: a shutdown request reaches only the core of the run its stop was
// for, and two cores are never in the library; a stop replies only after
// asking a core of its run that is still in the library; a call replies
// within its bound (plus any time the schedule held up runnable threads), and
// a stop times out only while a core or its own request is in the library;
// while time passes with every thread waiting, the machine lock is held only
// by a core thread in the library or about to enter it for the current,
// starting or running run; once every call has replied and no time is left
// to pass, the record says running exactly when a core runs (and never
// starting or stopping).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "core/core_controller.hpp"
#include "core/core_thread.hpp"

namespace velmor::explorer {
namespace {

using namespace std::chrono_literals;
constexpr CoreTimings TIMINGS{1500ms, 10s};

enum class Op { Start, Stop, Sleep };
struct Action {
    Op op;
    Duration length{};  // Sleep only
};
struct Actor {
    std::string name;
    std::vector<Action> actions;
};
struct Scenario {
    std::string name;
    std::vector<Actor> actors;
    Duration core_life = Duration::max();      // a core ends by itself this long after it entered
    Duration end_delay{};                      // and this long after it was first asked to end
    // One shutdown call, chosen among the first `slow_calls` (or none), takes
    // this long; the others return at once.
    Duration slow_shutdown{};
    int slow_calls = 0;
    int bound = 2;
};

struct CoreInLibrary {
    std::uint64_t run;
    int thread;
    Time entered;
    std::optional<Time> asked_at;
};

// The machine lock and the core library of one schedule, the scenario's
// actors and the controller's invariants. Touched only under the schedule's lock.
struct CoreModel : Model {
    CoreModel(Schedule& s, const Scenario& sc) : schedule(s), scenario(sc) {}
    Schedule& schedule;
    const Scenario& scenario;
    std::shared_ptr<CoreShared> record = std::make_shared<CoreShared>(TIMINGS);
    std::optional<CoreInLibrary> core;
    const char core_token = 0;  // what a core inside clash_start waits on
    int machine_holder = -1;
    std::uint64_t machine_run = 0;
    std::vector<std::uint64_t> shutdowns_in_library;
    int shutdown_calls = 0;
    int slow_call = 0;  // which of them is slow; 0: none
    std::map<int, Op> actor_op;  // what each actor is doing, to name the threads it creates

    std::string name_of(const void* object) const override {
        if (object == &record->mutex) return "core-state lock";
        if (object == &record->shutdown_done) return "shutdown_done";
        return {};
    }
    std::string new_thread_name(int creator) override {
        return actor_op[creator] == Op::Start ? "core thread " : "stop thread ";
    }
    void after_step() override {
        if (core && machine_holder != core->thread) schedule.fail("a core runs without its thread holding the machine lock");
    }
    void tear_down() override {
        if (core) schedule.wake(&core_token);
    }

    // While time passes with every thread waiting, the machine lock belongs to a core thread inside the
    // library, or to one that is still to enter it for the current run while
    // that run is starting or running.
    void before_time_passes() override {
        if (machine_holder < 0 || (core && core->thread == machine_holder)) return;
        const bool entering = record->current_run == machine_run &&
                              (record->state == CoreState::Starting || record->state == CoreState::Running);
        if (!entering)
            schedule.fail("time passes while run " + std::to_string(machine_run) +
                          " holds the machine lock, outside the library, with no core to start");
    }

    void act(const Action& action) {
        const std::string& me = schedule.th(Schedule::self())->name;
        if (action.op == Op::Sleep) return sleep_for(action.length);
        Time begun;
        Duration held_up_before;
        std::uint64_t run_before = 0;
        int calls_before = 0;
        {
            Schedule::Lock lock(schedule.big);
            actor_op[Schedule::self()] = action.op;
            begun = schedule.now;
            held_up_before = schedule.held_up;
            run_before = record->current_run;
            calls_before = shutdown_calls;
            schedule.note(action.op == Op::Start ? "start_core" : "stop_core");
        }
        const Result<> result = action.op == Op::Start ? start_core(*record, "{}", "", "") : stop_core(*record);
        Schedule::Lock lock(schedule.big);
        schedule.note((action.op == Op::Start ? "start replies " : "stop replies ") +
                      (result ? std::string("ok") : "\"" + result.error().message() + "\""));
        const Duration bound = action.op == Op::Start ? TIMINGS.start_check_delay + TIMINGS.stop_timeout
                                                      : TIMINGS.stop_timeout;
        const Duration held_up = schedule.held_up - held_up_before;
        if (schedule.now - begun > bound + held_up) schedule.fail(me + "'s call took longer than its bound");
        if (action.op == Op::Stop) {
            const bool old_core_runs = core && core->run <= run_before;
            if (old_core_runs && shutdown_calls == calls_before) schedule.fail("a stop replied without asking the core");
            const bool own_request_in_library = std::find(shutdowns_in_library.begin(), shutdowns_in_library.end(),
                                                          run_before) != shutdowns_in_library.end();
            if (!result && !old_core_runs && !own_request_in_library && held_up == Duration::zero())
                schedule.fail("a stop timed out though no core and no request of its own was in the library");
        }
    }

    // Once every call has replied and no time is left to pass.
    void at_rest() override {
        for (auto& t : schedule.threads)
            if (t->name == "client" || t->name == "service")
                if (t->status != SimThread::Done) return schedule.fail(t->name + " never got its reply");
        const CoreState state = record->state;
        if ((state == CoreState::Running) != core.has_value())
            schedule.fail(std::string("at rest the record says ") + std::string(core_state_name(state)) + " while " +
                          (core ? "a core runs" : "no core runs"));
        if (state == CoreState::Starting || state == CoreState::Stopping)
            schedule.fail(std::string("at rest the record says ") + std::string(core_state_name(state)));
    }
};

CoreModel& model() { return static_cast<CoreModel&>(*current().model); }

TEST(CoreControllerExplorer, EverySchedule) {
    const Actor start{"client", {{Op::Start}}};
    const Actor start_stop{"client", {{Op::Start}, {Op::Stop}}};
    const std::vector<Scenario> scenarios = {
        {"start", {start}, Duration::max(), 0s, 0s, 0, 3},
        {"start then stop", {start_stop}, Duration::max(), 0s, 3s, 3, 2},
        {"stop racing a core that ends by itself", {start_stop}, TIMINGS.start_check_delay, 0s, 0s, 0, 2},
        {"stop, start, stop", {{"client", {{Op::Start}, {Op::Stop}, {Op::Start}, {Op::Stop}}}}, Duration::max(), 700ms,
         12s, 4, 1},
        {"service's stop during a start", {start, {"service", {{Op::Stop}}}}, Duration::max(), 0s, 0s, 0, 2},
        {"service's stop during a client's stop",
         {{"client", {{Op::Start}, {Op::Stop}, {Op::Start}}}, {"service", {{Op::Sleep, 1600ms}, {Op::Stop}}}},
         Duration::max(), 700ms, 3s, 3, 1},
        {"a core whose shutdown blocks past the bound", {{"client", {{Op::Start}, {Op::Stop}, {Op::Start}}}},
         Duration::max(), 12s, 12s, 2, 1},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        const Explored explored = explore({.bound = scenario.bound}, [&](Schedule& s) {
            auto m = std::make_unique<CoreModel>(s, scenario);
            m->slow_call = s.choose(std::vector<int>(static_cast<std::size_t>(scenario.slow_calls) + 1, 0));
            for (const Actor& actor : scenario.actors)
                s.add_thread(actor.name, [&actor, &m = *m] {
                    for (const Action& action : actor.actions) m.act(action);
                });
            return m;
        });
        print_summary(scenario.name, scenario.bound, explored);
        EXPECT_FALSE(explored.failure) << *explored.failure;
    }
}

}  // namespace

// The models of the machine lock and the core library, steps of the current schedule.

std::optional<MachineLock> acquire_machine_lock(std::string_view, std::uint64_t run) {
    CoreModel& m = model();
    Schedule::Lock lock(m.schedule.big);
    m.schedule.step(lock, "tries the machine lock");
    if (m.machine_holder >= 0) return std::nullopt;
    m.machine_holder = Schedule::self();
    m.machine_run = run;
    return MachineLock(Schedule::self());
}

MachineLock::~MachineLock() {
    if (holder_ < 0) return;
    CoreModel& m = model();
    Schedule::Lock lock(m.schedule.big);
    m.machine_holder = -1;
    m.schedule.note("releases the machine lock");
}

Result<> run_core(std::uint64_t run, const std::string&, const std::string&, const std::string&) {
    CoreModel& m = model();
    Schedule& s = m.schedule;
    Schedule::Lock lock(s.big);
    s.step(lock, "clash_start for run " + std::to_string(run));
    if (m.core) s.fail("two cores in the library");
    m.core = CoreInLibrary{run, Schedule::self(), s.now, std::nullopt};
    for (std::uint64_t asked_for : m.shutdowns_in_library) {
        if (asked_for != run) s.fail("a shutdown request for run " + std::to_string(asked_for) + " reached run " + std::to_string(run));
        m.core->asked_at = s.now;
    }
    for (;;) {
        std::optional<Time> end;
        if (m.core->asked_at) end = *m.core->asked_at + m.scenario.end_delay;
        else if (m.scenario.core_life != Duration::max()) end = m.core->entered + m.scenario.core_life;
        if (s.tearing_down || (end && s.now >= *end)) break;
        s.block(lock, &m.core_token, end);
    }
    m.core.reset();
    s.note("clash_start returns");
    return {};
}

void shutdown_core(std::uint64_t run_at_stop) {
    CoreModel& m = model();
    Schedule& s = m.schedule;
    Schedule::Lock lock(s.big);
    s.step(lock, "clash_shutdown for run " + std::to_string(run_at_stop));
    ++m.shutdown_calls;
    m.shutdowns_in_library.push_back(run_at_stop);
    if (m.core) {
        if (m.core->run != run_at_stop)
            s.fail("a shutdown request for run " + std::to_string(run_at_stop) + " reached run " + std::to_string(m.core->run));
        if (!m.core->asked_at) m.core->asked_at = s.now;
        s.wake(&m.core_token);
    }
    const Duration length = m.shutdown_calls == m.slow_call ? m.scenario.slow_shutdown : 0s;
    if (length > 0s) {
        s.note("clash_shutdown takes until " + seconds(s.now + length));
        s.block(lock, nullptr, s.now + length);
    }
    m.shutdowns_in_library.erase(std::find(m.shutdowns_in_library.begin(), m.shutdowns_in_library.end(), run_at_stop));
    s.note("clash_shutdown returns");
}

}  // namespace velmor::explorer

namespace velmor {
inline namespace explored {
void log_message(std::string_view message) noexcept {
    explorer::Schedule::Lock lock(explorer::current().big);
    explorer::current().note("log \"" + std::string(message) + "\"");
}
}  // namespace explored
}  // namespace velmor
