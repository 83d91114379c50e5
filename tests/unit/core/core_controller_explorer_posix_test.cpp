// The controller and the core thread explored over every schedule of small
// scenarios (support/explorer.hpp). This file instantiates them with the
// explorer's primitives and the calls below, so start_core, stop_core and
// run_core_thread are the real code run one step at a time; the machine
// lock, the core library, the log and the Event Log are models. A modelled core ends by
// itself after a while, only when asked, or never (it ignores the request);
// the library's shutdown call may be slow once (which call is a free
// choice) or for every caller; a thread creation may fail.
//
// Checked after every step: no core runs without its thread holding the
// machine lock, and the record never says stopped while a core is in the
// library. A shutdown request reaches no core of a newer run than its stop's,
// and two cores are never in the library. A stop replies ok only when no
// core of its runs is in the library, asks a core of its runs that is, and
// times out only if one was in the library during its call. A call replies
// within its bound (plus any time the schedule held up runnable threads).
// While time passes with every thread waiting, the machine lock is held only
// by a core thread in the library or about to enter it for the current,
// starting or running run; and, with no call in flight as at rest, the record
// says running exactly when a core runs (a core that outlived a timed-out
// stop may run while it says failed) and never starting or stopping. Every
// stop timeout logged is reported as an event.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "core/core_controller_impl.hpp"
#include "support/explorer.hpp"

namespace velmor::explorer {

// The core's own calls as the scenarios model them; steps of the current schedule.
struct ExploredCalls {
    using MachineLock = std::shared_ptr<const void>;  // the last copy's end releases the lock
    static Result<MachineLock> acquire_machine_lock(std::string_view name, std::uint64_t run);
    static Result<> run_core(std::uint64_t run, const std::string& config, const std::string& log_path,
                             const std::string& cwd);
    static void shutdown_core(std::uint64_t run_at_stop);
    static void report_event(EventId id, std::string_view text) noexcept;
    static void log(std::string_view message) noexcept;
};
using Record = BasicCoreShared<Sync, ExploredCalls>;

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
    Duration end_delay{};                      // and this long after it was first asked to end (max: ignores it)
    // One shutdown call, chosen among the first `slow_calls` (or none; every
    // call when negative), takes this long; the others return at once.
    Duration slow_shutdown{};
    int slow_calls = 0;
    int bound = 2;
    Duration stop_timeout = TIMINGS.stop_timeout;
    int failing_spawn = 0;  // this thread creation (1: the first) fails
    // Lines of the trace that at least one schedule must show.
    std::vector<std::string> must_show{};
    std::uint64_t slow_lock_run = 0;  // the machine lock's try for this run takes slow_lock
    Duration slow_lock{};
};

struct CoreInLibrary {
    std::uint64_t run;
    int thread;
    Time entered;
    std::optional<Time> asked_at;
    std::optional<Time> last_asked;  // when a shutdown call last reached it
};

// The machine lock and the core library of one schedule, the scenario's
// actors and the controller's invariants. Touched only under the schedule's lock.
struct CoreModel : Model {
    CoreModel(Schedule& s, const Scenario& sc) : schedule(s), scenario(sc) {}
    Schedule& schedule;
    const Scenario& scenario;
    std::shared_ptr<Record> record =
        std::make_shared<Record>(CoreTimings{TIMINGS.start_check_delay, scenario.stop_timeout});
    std::optional<CoreInLibrary> core;
    const char core_token = 0;  // what a core inside clash_start waits on
    int machine_holder = -1;
    std::uint64_t machine_run = 0;
    std::vector<std::uint64_t> shutdowns_in_library;
    std::vector<Time> stop_deadlines_in_library;  // the deadlines of the stops making those calls
    std::map<int, Time> stop_begun;  // a stopping actor or its joiner: when that stop began
    int shutdown_calls = 0;
    int slow_call = 0;  // which of them is slow; 0: none
    std::map<int, Op> actor_op;  // what each actor is doing, to name the threads it creates
    int calls_in_flight = 0;
    std::map<int, std::uint64_t> stops_in_flight;  // actor: the latest run when its stop began
    std::set<int> stops_that_saw_a_core;           // of their runs, in the library during the stop
    std::uint64_t timed_out_through = 0;           // runs up to this one had a stop time out

    std::string name_of(const void* object) const override {
        if (object == &record->mutex) return "core-state lock";
        if (object == &record->shutdown_done) return "shutdown_done";
        return {};
    }
    int spawns = 0;
    bool thread_creation_fails() override { return ++spawns == scenario.failing_spawn; }
    std::string new_thread_name(int creator) override {
        if (actor_op[creator] == Op::Stop) stop_begun[static_cast<int>(schedule.threads.size())] = stop_begun[creator];
        return actor_op[creator] == Op::Start ? "core thread " : "stop thread ";
    }
    void after_step() override {
        if (core && machine_holder != core->thread) schedule.fail("a core runs without its thread holding the machine lock");
        if (core && record->state == CoreState::Stopped)
            schedule.fail("the record says stopped while run " + std::to_string(core->run) + "'s core is in the library");
    }
    // The record says running exactly when a core runs, and never starting or
    // stopping; a core that outlived a stop that timed out may run while it says failed.
    void check_record(const std::string& when) {
        const CoreState state = record->state;
        const bool outlived = core && state == CoreState::Failed && core->run <= timed_out_through;
        if ((state == CoreState::Running) != core.has_value() && !outlived)
            schedule.fail(when + " the record says " + std::string(core_state_name(state)) + " while " +
                          (core ? "a core runs" : "no core runs"));
        if (state == CoreState::Starting || state == CoreState::Stopping)
            schedule.fail(when + " the record says " + std::string(core_state_name(state)));
    }
    void tear_down() override {
        if (core) schedule.wake(&core_token);
    }

    // While time passes with every thread waiting, the machine lock belongs to a core thread inside the
    // library, or to one that is still to enter it for the current run while
    // that run is starting or running.
    void before_time_passes() override {
        if (calls_in_flight == 0) check_record("with no call in flight");
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
        {
            Schedule::Lock lock(schedule.big);
            actor_op[Schedule::self()] = action.op;
            begun = schedule.now;
            held_up_before = schedule.held_up;
            run_before = record->current_run;
            ++calls_in_flight;
            if (action.op == Op::Stop) stops_in_flight[Schedule::self()] = run_before, stop_begun[Schedule::self()] = begun;
            if (action.op == Op::Stop && core && core->run <= run_before) stops_that_saw_a_core.insert(Schedule::self());
            schedule.note(action.op == Op::Start ? "start_core" : "stop_core");
        }
        const Result<> result = action.op == Op::Start ? start_core(*record, "{}", "", "") : stop_core(*record);
        Schedule::Lock lock(schedule.big);
        schedule.note((action.op == Op::Start ? "start replies " : "stop replies ") +
                      (result ? std::string("ok") : "\"" + result.error().message() + "\""));
        const Duration bound = action.op == Op::Start ? TIMINGS.start_check_delay + scenario.stop_timeout
                                                      : scenario.stop_timeout;
        --calls_in_flight;
        const Duration held_up = schedule.held_up - held_up_before;
        if (schedule.now - begun > bound + held_up) schedule.fail(me + "'s call took longer than its bound");
        if (action.op == Op::Stop) {
            const bool old_core_runs = core && core->run <= run_before;
            // Each core of its runs still in the library, whichever run, was
            // reached by a shutdown call made during this stop.
            if (old_core_runs && !(core->last_asked && *core->last_asked >= begun) && held_up == Duration::zero())
                schedule.fail("a stop replied without asking run " + std::to_string(core->run) + "'s core");
            if (result && old_core_runs) schedule.fail("a stop replied ok while a core of its runs is in the library");
            if (!result && !stops_that_saw_a_core.contains(Schedule::self()))
                schedule.fail("a stop timed out though no core of its runs was in the library");
            if (!result) timed_out_through = std::max(timed_out_through, run_before);
        } else if (!result && result.error().message().starts_with("core thread could not be created: ")) {
            if (record->state != CoreState::Failed || record->last_error != result.error().message())
                schedule.fail("a start whose core thread could not be created left the record without its error");
            stops_in_flight.erase(Schedule::self());
            stops_that_saw_a_core.erase(Schedule::self());
        }
    }

    // Once every call has replied and no time is left to pass.
    void at_rest() override {
        for (auto& t : schedule.threads)
            if (t->name == "client" || t->name == "service")
                if (t->status != SimThread::Done) return schedule.fail(t->name + " never got its reply");
        check_record("at rest");
        const auto count = [&](const std::string& end) {
            return std::count_if(schedule.trace.begin(), schedule.trace.end(),
                                 [&](const std::string& line) { return line.ends_with(end); });
        };
        if (count(": log \"core stop timeout\"") != count(": event 9 (error) \"core stop timeout\""))
            schedule.fail("a stop timeout logged without its event, or the reverse");
    }
};

CoreModel& model() { return static_cast<CoreModel&>(*current().model); }

std::vector<Scenario> scenarios() {
    const Actor start{"client", {{Op::Start}}};
    const Actor start_stop{"client", {{Op::Start}, {Op::Stop}}};
    const Actor start_stop_start{"client", {{Op::Start}, {Op::Stop}, {Op::Start}}};
    const Actor late_stop{"service", {{Op::Sleep, 1600ms}, {Op::Stop}}};
    return {
        {"start", {start}, Duration::max(), 0s, 0s, 0, 3},
        {"start then stop", {start_stop}, Duration::max(), 0s, 3s, 3, 2},
        {"stop racing a core that ends by itself", {start_stop}, TIMINGS.start_check_delay, 0s, 0s, 0, 2, 10s, 0,
         {"event 8 (error) \"core thread: exited unexpectedly\""}},
        {"stop, start, stop", {{"client", {{Op::Start}, {Op::Stop}, {Op::Start}, {Op::Stop}}}}, Duration::max(), 700ms,
         12s, 4, 2},
        {"service's stop during a start", {start, {"service", {{Op::Stop}}}}, Duration::max(), 0s, 0s, 0, 2},
        {"service's stop during a client's stop", {start_stop, {"service", {{Op::Sleep, 1600ms}, {Op::Stop}}}},
         Duration::max(), 700ms, 0s, 0, 2},
        {"two overlapping stops of a core that ignores them",
         {start_stop, {"service", {{Op::Sleep, 1600ms}, {Op::Stop}}}}, Duration::max(), Duration::max(), 0s, 0, 2, 1s, 0,
         {"event 9 (error) \"core stop timeout\""}},
        {"service's stop during a start, every shutdown call blocked", {start, {"service", {{Op::Stop}}}},
         Duration::max(), 0s, 12s, -1, 2},
        {"service's stop while a start waits behind an earlier request",
         {{"client", {{Op::Start}, {Op::Stop}, {Op::Start}}}, {"service", {{Op::Sleep, 2500ms}, {Op::Stop}}}},
         Duration::max(), 700ms, 3s, 2, 2},
        {"a core thread that cannot be created", {start_stop}, Duration::max(), 0s, 0s, 0, 2, 10s, 1,
         {"start replies \"core thread could not be created: Resource temporarily unavailable\""}},
        {"a stop thread that cannot be created", {start_stop}, Duration::max(), 0s, 0s, 0, 2, 10s, 2,
         {"log \"stop thread could not be created: Resource temporarily unavailable\"", "stop replies ok"}},
        {"a start behind a repeated request that outlives its stop", {{"client", {{Op::Start}, {Op::Stop}, {Op::Start}}}},
         Duration::max(), 700ms, 3s, 2, 1, 10s, 0, {"waits on shutdown_done until  11.500 s", "start replies ok"}},
        {"a start behind a request stuck past its stop's deadline", {{"client", {{Op::Start}, {Op::Stop}, {Op::Start}}}},
         1600ms, 0s, 12s, -1, 1, 10s, 0,
         {"log \"core thread: an earlier core is still shutting down \u2014 refusing start\"",
          "start replies \"an earlier core is still shutting down\""}},
        {"a core whose shutdown blocks past the bound", {{"client", {{Op::Start}, {Op::Stop}, {Op::Start}}}},
         Duration::max(), 12s, 12s, 2, 1},
        // Two stops' requests in the library at once: the start waits for the later deadline.
        {"a start behind two overlapping stops' requests", {start_stop_start, late_stop}, Duration::max(), 700ms, 12s, -1,
         1, 10s, 0, {"waits on shutdown_done until  11.600 s", "start replies \"an earlier core is still shutting down\""}},
        {"a start behind the later of two stops' requests", {start_stop_start, late_stop}, Duration::max(), 700ms, 12s, 3,
         1, 10s, 0, {"waits on shutdown_done until  11.600 s"}},
        // Run 2, refused at its stop's deadline, is slow to the machine lock: run 3's core has it.
        {"an old run refused the machine lock after a newer start", {{"client", {{Op::Start}, {Op::Stop}, {Op::Start}, {Op::Start}}}},
         Duration::max(), 700ms, 11s, -1, 1, 10s, 0, {"this machine: created by this process\"", "start replies ok"}, 2, 2s},
    };
}

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// One test per scenario, so that each has a time limit of its own.
class CoreControllerExplorer : public ::testing::TestWithParam<Scenario> {};

TEST_P(CoreControllerExplorer, EverySchedule) {
    const Scenario& scenario = GetParam();
    {
        std::set<std::string> shown;
        const Explored explored = explore({.bound = scenario.bound}, [&](Schedule& s) {
            auto m = std::make_unique<CoreModel>(s, scenario);
            m->slow_call = s.choose(std::vector<int>(static_cast<std::size_t>(std::max(scenario.slow_calls, 0)) + 1, 0));
            for (const Actor& actor : scenario.actors)
                s.add_thread(actor.name, [&actor, &m = *m] {
                    for (const Action& action : actor.actions) m.act(action);
                });
            return m;
        }, [&](const Schedule& s) {
            for (const std::string& line : s.trace)
                for (const std::string& wanted : scenario.must_show)
                    if (line.ends_with(wanted)) shown.insert(wanted);
        });
        for (const std::string& wanted : scenario.must_show) EXPECT_TRUE(shown.contains(wanted)) << wanted;
        print_summary(scenario.name, scenario.bound, explored);
        EXPECT_FALSE(explored.failure) << *explored.failure;
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, CoreControllerExplorer, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::to_string(info.index); });

// Signal: two threads wait for it with a deadline while a third sets it;
// the explorer fails a waiter that sleeps on once it is set.
TEST(SignalExplorer, WakesEveryWaiter) {
    struct SignalModel : Model {
        BasicSignal<Sync> signal;
    };
    const Explored explored = explore({.bound = 2}, [](Schedule& s) {
        auto m = std::make_unique<SignalModel>();
        for (const char* name : {"waiter 1", "waiter 2"})
            s.add_thread(name, [&m = *m] { (void)m.signal.wait_until(VirtualClock::now() + 10s); });
        s.add_thread("setter", [&m = *m] {
            sleep_for(1s);
            m.signal.set();
        });
        return m;
    });
    print_summary("a signal set while two wait", 2, explored);
    EXPECT_FALSE(explored.failure) << *explored.failure;
}

}  // namespace

// The models of the machine lock and the core library, steps of the current schedule.

Result<ExploredCalls::MachineLock> ExploredCalls::acquire_machine_lock(std::string_view, std::uint64_t run) {
    CoreModel& m = model();
    Schedule::Lock lock(m.schedule.big);
    // While stops' shutdown calls are in the library, a start's core thread goes
    // on only past the latest of their deadlines, or once its run was stopped.
    const CoreState state = m.record->state;
    const bool held = run == m.record->current_run &&
                      (state == CoreState::Starting ||
                       (state == CoreState::Failed && m.record->last_error == SHUTDOWN_BUSY_ERROR));
    const auto& due = m.stop_deadlines_in_library;
    if (held && !due.empty() && m.schedule.now < *std::max_element(due.begin(), due.end()))
        m.schedule.fail("run " + std::to_string(run) + " was let go before the deadline of a stop whose call is in the library");
    m.schedule.step(lock, "tries the machine lock");
    if (run == m.scenario.slow_lock_run) {
        m.schedule.note("the machine lock takes until " + seconds(m.schedule.now + m.scenario.slow_lock));
        m.schedule.block(lock, nullptr, m.schedule.now + m.scenario.slow_lock);
    }
    if (m.machine_holder >= 0) return fail(machine_lock_refusal(std::string("this process")));
    m.machine_holder = Schedule::self();
    m.machine_run = run;
    return MachineLock(nullptr, [](const void*) {
        CoreModel& m = model();
        Schedule::Lock lock(m.schedule.big);
        m.machine_holder = -1;
        m.schedule.note("releases the machine lock");
    });
}

Result<> ExploredCalls::run_core(std::uint64_t run, const std::string&, const std::string&, const std::string&) {
    CoreModel& m = model();
    Schedule& s = m.schedule;
    Schedule::Lock lock(s.big);
    s.step(lock, "clash_start for run " + std::to_string(run));
    if (m.core) s.fail("two cores in the library");
    m.core = CoreInLibrary{run, Schedule::self(), s.now, std::nullopt, std::nullopt};
    for (const auto& [stop, latest] : m.stops_in_flight)
        if (run <= latest) m.stops_that_saw_a_core.insert(stop);
    for (std::uint64_t asked_for : m.shutdowns_in_library) {
        if (asked_for < run) s.fail("a shutdown request for run " + std::to_string(asked_for) + " reached run " + std::to_string(run));
        m.core->asked_at = m.core->last_asked = s.now;
    }
    for (;;) {
        std::optional<Time> end;
        if (m.scenario.core_life != Duration::max()) end = m.core->entered + m.scenario.core_life;
        if (m.core->asked_at && m.scenario.end_delay != Duration::max())
            end = std::min(end.value_or(Time::max()), *m.core->asked_at + m.scenario.end_delay);
        if (s.tearing_down || (end && s.now >= *end)) break;
        s.block(lock, &m.core_token, end);
    }
    m.core.reset();
    s.note("clash_start returns");
    return {};
}

void ExploredCalls::report_event(EventId id, std::string_view text) noexcept {
    Schedule::Lock lock(current().big);
    current().note("event " + std::to_string(static_cast<int>(id)) +
                   (event_row(id).kind == EventKind::error ? " (error) \"" : " (not an error) \"") + std::string(text) + "\"");
}

void ExploredCalls::shutdown_core(std::uint64_t run_at_stop) {
    CoreModel& m = model();
    Schedule& s = m.schedule;
    Schedule::Lock lock(s.big);
    s.step(lock, "clash_shutdown for run " + std::to_string(run_at_stop));
    ++m.shutdown_calls;
    m.shutdowns_in_library.push_back(run_at_stop);
    const auto stop = m.stop_begun.find(Schedule::self());
    if (stop == m.stop_begun.end()) s.fail("clash_shutdown called by a thread that serves no stop");
    const Time due = (stop == m.stop_begun.end() ? s.now : stop->second) + m.scenario.stop_timeout;
    m.stop_deadlines_in_library.push_back(due);
    if (m.core) {
        if (m.core->run > run_at_stop)
            s.fail("a shutdown request for run " + std::to_string(run_at_stop) + " reached run " + std::to_string(m.core->run));
        if (!m.core->asked_at) m.core->asked_at = s.now;
        m.core->last_asked = s.now;
        s.wake(&m.core_token);
    }
    const bool slow = m.scenario.slow_calls < 0 || m.shutdown_calls == m.slow_call;
    const Duration length = slow ? m.scenario.slow_shutdown : 0s;
    if (length > 0s) {
        s.note("clash_shutdown takes until " + seconds(s.now + length));
        s.block(lock, nullptr, s.now + length);
    }
    m.shutdowns_in_library.erase(std::find(m.shutdowns_in_library.begin(), m.shutdowns_in_library.end(), run_at_stop));
    m.stop_deadlines_in_library.erase(std::find(m.stop_deadlines_in_library.begin(), m.stop_deadlines_in_library.end(), due));
    s.note("clash_shutdown returns");
}

void ExploredCalls::log(std::string_view message) noexcept {
    Schedule::Lock lock(current().big);
    current().note("log \"" + std::string(message) + "\"");
}

}  // namespace velmor::explorer

namespace velmor {
template Result<> start_core(explorer::Record&, std::string, std::filesystem::path, std::filesystem::path);
template Result<> stop_core(explorer::Record&);
template void run_core_thread(CoreThreadArgs<explorer::Sync, explorer::ExploredCalls>) noexcept;
}  // namespace velmor
