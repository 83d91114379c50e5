// The controller and the core thread explored over every schedule of small
// scenarios, within a bound on departures from a default schedule. This file
// is built with the explorer's primitives (core_sync_explored.hpp), so
// start_core, stop_core and run_core_thread below are the real code run one
// step at a time: each taking of the core-state lock, condition wait,
// notification, thread creation or join, sleep, machine lock and library call
// is a point where the scheduler chooses who runs next. By default the
// running thread goes on, else the oldest runnable one; any other pick costs
// one (a delay bound, which also bounds the picks made when a thread blocks).
// Virtual time moves when no thread can run, or, at the same cost, up to
// SLOW_THREAD ahead of a running thread held up by the system. Which of the
// library's shutdown calls is slow is a free choice. The schedules are
// enumerated depth first by replaying a prefix of choices.
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
#include <condition_variable>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "core/core_controller.hpp"
#include "core/core_thread.hpp"

namespace velmor::explorer {
namespace {

using namespace std::chrono_literals;
using Time = VirtualClock::time_point;
using Duration = std::chrono::nanoseconds;
constexpr CoreTimings TIMINGS{1500ms, 10s};
constexpr int STEP_LIMIT = 20'000;
// How far time may run ahead of the running thread, at the price of a
// preemption: a thread held up by the system, not one that never runs.
constexpr Duration SLOW_THREAD = 2s;

std::string seconds(Time t) {
    char text[32];
    std::snprintf(text, sizeof text, "%7.3f s", static_cast<double>(t.time_since_epoch().count()) / 1e9);
    return text;
}

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

struct SimThread {
    std::string name;
    enum { Runnable, Blocked, Done } status = Runnable;
    const void* waiting_on = nullptr;
    std::optional<Time> wake_at;
    bool timed_out = false;
    std::condition_variable turn;
    std::thread os;
};
struct CoreInLibrary {
    std::uint64_t run;
    int thread;
    Time entered;
    std::optional<Time> asked_at;
};
struct Choice {
    std::vector<int> costs;
    int taken;
};

thread_local int t_self = -1;

// One schedule of one scenario. Every member is touched only under `big` or
// by the one thread that the scheduler lets run.
struct Run {
    Run(const Scenario& s, std::vector<int> p) : scenario(s), prefix(std::move(p)) {}
    const Scenario& scenario;
    std::vector<int> prefix;
    std::vector<Choice> choices;
    std::mutex big;
    std::condition_variable over_changed;
    std::vector<std::unique_ptr<SimThread>> threads;
    int running = -1;
    bool over = false, tearing_down = false;
    Time now{};
    Duration held_up{};  // time that passed while some thread could run
    int steps = 0;
    std::vector<std::string> trace;
    std::optional<std::string> failure;
    std::shared_ptr<CoreShared> record = std::make_shared<CoreShared>(TIMINGS);
    std::optional<CoreInLibrary> core;
    const char core_token = 0;  // what a core inside clash_start waits on
    int machine_holder = -1;
    std::uint64_t machine_run = 0;
    std::vector<std::uint64_t> shutdowns_in_library;
    int shutdown_calls = 0;
    int slow_call = 0;  // which of them is slow; 0: none
    std::map<int, Op> actor_op;  // what each actor is doing, to name the threads it creates

    using Lock = std::unique_lock<std::mutex>;

    SimThread* th(int id) { return threads[static_cast<std::size_t>(id)].get(); }

    void note(const std::string& what) {
        if (!tearing_down) trace.push_back(seconds(now) + "  " + (t_self >= 0 ? th(t_self)->name : "-") + ": " + what);
    }
    void fail(const std::string& why) {
        if (tearing_down || failure) return;
        note("INVARIANT BROKEN: " + why);
        failure = why;
    }

    int choose(std::vector<int> costs) {
        if (tearing_down || costs.size() < 2) return 0;
        const std::size_t k = choices.size();
        const int taken = k < prefix.size() ? prefix[k] : 0;
        choices.push_back({std::move(costs), taken});
        return taken;
    }

    void wake(const void* on) {
        for (auto& t : threads)
            if (t->status == SimThread::Blocked && t->waiting_on == on) {
                t->status = SimThread::Runnable;
                t->wake_at.reset();
                t->timed_out = false;
            }
    }

    // Lets virtual time pass to the next deadline of a timed wait; false when there is none.
    std::optional<Time> next_timer() {
        std::optional<Time> next;
        for (auto& t : threads)
            if (t->status == SimThread::Blocked && t->wake_at && (!next || *t->wake_at < *next)) next = t->wake_at;
        return next;
    }
    // `idle`: no thread could run.
    bool advance(bool idle) {
        const std::optional<Time> next = next_timer();
        if (!next) return false;
        if (idle && *next > now) check_while_time_passes();
        now = std::max(now, *next);
        note("time passes");
        for (auto& t : threads)
            if (t->status == SimThread::Blocked && t->wake_at && *t->wake_at <= now) {
                t->status = SimThread::Runnable;
                t->wake_at.reset();
                t->timed_out = true;
            }
        return true;
    }

    // The next thread to run, or -1 when none can run and no time is left to pass.
    int pick() {
        for (;;) {
            std::vector<int> runnable;
            const bool current = running >= 0 && th(running)->status == SimThread::Runnable;
            if (current) runnable.push_back(running);
            for (int i = 0; i < static_cast<int>(threads.size()); ++i)
                if (i != running && th(i)->status == SimThread::Runnable) runnable.push_back(i);
            if (runnable.empty()) {
                if (!advance(true)) return -1;
                continue;
            }
            const std::optional<Time> timer = next_timer();
            // Every departure from the default (the running thread, else the
            // oldest runnable one) costs one: a delay bound, which keeps the
            // choices made when a thread blocks within the bound as well.
            std::vector<int> costs(runnable.size(), 1);
            costs[0] = 0;
            if (current && timer && *timer - now <= SLOW_THREAD) costs.push_back(1);
            const int c = choose(costs);
            if (c < static_cast<int>(runnable.size())) return runnable[static_cast<std::size_t>(c)];
            held_up += *timer - now;
            advance(false);
        }
    }

    void reschedule(Lock& lock) {
        const int self = t_self;
        const int next = pick();
        if (next < 0) {
            running = -1;
            over = true;
            over_changed.notify_all();
        } else {
            running = next;
            th(next)->turn.notify_all();
        }
        if (self < 0 || th(self)->status == SimThread::Done) return;
        th(self)->turn.wait(lock, [&] { return running == self; });
    }

    // A scheduling point of the running thread.
    void step(Lock& lock, const std::string& what) {
        if (!what.empty()) note(what);
        if (++steps > STEP_LIMIT) fail("no end after " + std::to_string(STEP_LIMIT) + " steps");
        if (core && machine_holder != core->thread) fail("a core runs without its thread holding the machine lock");
        reschedule(lock);
    }
    // Blocks the running thread on `on` until woken or `until`; true when the time ran out.
    bool block(Lock& lock, const void* on, std::optional<Time> until) {
        SimThread& me = *th(t_self);
        me.status = SimThread::Blocked;
        me.waiting_on = on;
        me.wake_at = until;
        reschedule(lock);
        return me.timed_out;
    }

    int add_thread(std::string name, std::function<void()> body) {
        const int id = static_cast<int>(threads.size());
        threads.push_back(std::make_unique<SimThread>());
        threads.back()->name = std::move(name);
        threads.back()->os = std::thread([this, id, body = std::move(body)] {
            {
                Lock lock(big);
                th(id)->turn.wait(lock, [&] { return running == id; });
            }
            t_self = id;
            body();
            Lock lock(big);
            th(id)->status = SimThread::Done;
            wake(th(id));
            reschedule(lock);
        });
        return id;
    }

    // While time passes with every thread waiting, the machine lock belongs to a core thread inside the
    // library, or to one that is still to enter it for the current run while
    // that run is starting or running.
    void check_while_time_passes() {
        if (machine_holder < 0 || (core && core->thread == machine_holder)) return;
        const bool entering = record->current_run == machine_run &&
                              (record->state == CoreState::Starting || record->state == CoreState::Running);
        if (!entering)
            fail("time passes while run " + std::to_string(machine_run) +
                 " holds the machine lock, outside the library, with no core to start");
    }

    void act(const Action& action) {
        const std::string& me = th(t_self)->name;
        if (action.op == Op::Sleep) return sleep_for(action.length);
        Time begun;
        Duration held_up_before;
        std::uint64_t run_before = 0;
        int calls_before = 0;
        {
            Lock lock(big);
            actor_op[t_self] = action.op;
            begun = now;
            held_up_before = held_up;
            run_before = record->current_run;
            calls_before = shutdown_calls;
            note(action.op == Op::Start ? "start_core" : "stop_core");
        }
        const Result<> result = action.op == Op::Start ? start_core(*record, "{}", "", "") : stop_core(*record);
        Lock lock(big);
        note((action.op == Op::Start ? "start replies " : "stop replies ") +
             (result ? std::string("ok") : "\"" + result.error().message() + "\""));
        const Duration bound = action.op == Op::Start ? TIMINGS.start_check_delay + TIMINGS.stop_timeout
                                                      : TIMINGS.stop_timeout;
        const bool held = held_up != held_up_before;
        if (now - begun > bound + (held_up - held_up_before)) fail(me + "'s call took longer than its bound");
        if (action.op == Op::Stop) {
            const bool old_core_runs = core && core->run <= run_before;
            if (old_core_runs && shutdown_calls == calls_before) fail("a stop replied without asking the core");
            const bool own_request_in_library = std::find(shutdowns_in_library.begin(), shutdowns_in_library.end(),
                                                          run_before) != shutdowns_in_library.end();
            if (!result && !old_core_runs && !own_request_in_library && !held)
                fail("a stop timed out though no core and no request of its own was in the library");
        }
    }

    // Once every call has replied and no time is left to pass.
    void check_at_rest() {
        for (auto& t : threads)
            if (t->name == "client" || t->name == "service")
                if (t->status != SimThread::Done) return fail(t->name + " never got its reply");
        const CoreState state = record->state;
        if ((state == CoreState::Running) != core.has_value())
            fail(std::string("at rest the record says ") + std::string(core_state_name(state)) + " while " +
                 (core ? "a core runs" : "no core runs"));
        if (state == CoreState::Starting || state == CoreState::Stopping)
            fail(std::string("at rest the record says ") + std::string(core_state_name(state)));
    }

    void explore_once() {
        Lock lock(big);
        slow_call = choose(std::vector<int>(static_cast<std::size_t>(scenario.slow_calls) + 1, 0));
        for (const Actor& actor : scenario.actors)
            add_thread(actor.name, [this, &actor] {
                for (const Action& action : actor.actions) act(action);
            });
        running = pick();
        th(running)->turn.notify_all();
        over_changed.wait(lock, [&] { return over; });
        check_at_rest();
        // The cores end and everything runs to its end, unchecked.
        tearing_down = true;
        over = false;
        if (core) wake(&core_token);
        running = pick();
        if (running >= 0) {
            th(running)->turn.notify_all();
            over_changed.wait(lock, [&] { return over; });
        }
        for (auto& t : threads)
            if (t->status != SimThread::Done) {
                std::fprintf(stderr, "%s: a thread never ended after the cores did\n", t->name.c_str());
                std::abort();
            }
        lock.unlock();
        for (auto& t : threads) t->os.join();
    }
};

Run* g_run = nullptr;
Run& sim() { return *g_run; }

// The next prefix in depth-first order within the bound; false when explored.
bool next_prefix(const std::vector<Choice>& choices, int bound, std::vector<int>& prefix) {
    std::vector<int> spent(choices.size() + 1, 0);
    for (std::size_t k = 0; k < choices.size(); ++k)
        spent[k + 1] = spent[k] + choices[k].costs[static_cast<std::size_t>(choices[k].taken)];
    for (std::size_t k = choices.size(); k-- > 0;)
        for (int alt = choices[k].taken + 1; alt < static_cast<int>(choices[k].costs.size()); ++alt)
            if (spent[k] + choices[k].costs[static_cast<std::size_t>(alt)] <= bound) {
                prefix.clear();
                for (std::size_t i = 0; i < k; ++i) prefix.push_back(choices[i].taken);
                prefix.push_back(alt);
                return true;
            }
    return false;
}

struct Explored {
    int schedules = 0;
    std::optional<std::string> failure;
};

Explored explore(const Scenario& scenario) {
    Explored result;
    std::vector<int> prefix;
    for (;;) {
        Run run(scenario, prefix);
        g_run = &run;
        run.explore_once();
        g_run = nullptr;
        ++result.schedules;
        if (run.failure) {
            std::string text = *run.failure + "\nschedule " + std::to_string(result.schedules) + ":\n";
            for (const std::string& line : run.trace) text += "  " + line + "\n";
            result.failure = text;
            return result;
        }
        if (!next_prefix(run.choices, scenario.bound, prefix)) return result;
    }
}

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
        const auto begun = std::chrono::steady_clock::now();
        const Explored explored = explore(scenario);
        const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        std::printf("[ explorer ] %-45s bound %d: %6d schedules, %.1f s\n", scenario.name.c_str(), scenario.bound,
                    explored.schedules, took);
        std::fflush(stdout);  // before a later test forks
        EXPECT_FALSE(explored.failure) << *explored.failure;
    }
}

}  // namespace

// The seam's primitives, each a step of the current schedule.

Time VirtualClock::now() {
    std::lock_guard lock(sim().big);
    return sim().now;
}

void Mutex::lock() {
    Run& s = sim();
    Run::Lock lock(s.big);
    // A signal's own lock guards one flag: its wait and notification are
    // the steps that matter, so taking it is not one.
    if (this == &s.record->mutex) s.step(lock, "takes the core-state lock");
    while (owner_ >= 0) s.block(lock, this, std::nullopt);
    owner_ = t_self;
}

void Mutex::unlock() {
    Run& s = sim();
    Run::Lock lock(s.big);
    owner_ = -1;
    s.wake(this);
}

void ConditionVariable::notify_all() {
    Run& s = sim();
    Run::Lock lock(s.big);
    s.step(lock, this == &s.record->shutdown_done ? "notifies shutdown_done" : "");
    s.wake(this);
}

std::cv_status ConditionVariable::wait_until(std::unique_lock<Mutex>& held, Time deadline) {
    Run& s = sim();
    if (this == &s.record->shutdown_done) {
        Run::Lock lock(s.big);
        s.note("waits on shutdown_done until " + seconds(deadline));
    }
    held.mutex()->unlock();
    bool timed_out = true;
    {
        Run::Lock lock(s.big);
        if (deadline > s.now) timed_out = s.block(lock, this, deadline);
    }
    held.mutex()->lock();
    return timed_out ? std::cv_status::timeout : std::cv_status::no_timeout;
}

int Thread::spawn(std::function<void()> body) {
    Run& s = sim();
    Run::Lock lock(s.big);
    const std::string kind = s.actor_op[t_self] == Op::Start ? "core thread " : "stop thread ";
    const int id = s.add_thread(kind + std::to_string(s.threads.size()), std::move(body));
    s.step(lock, "creates " + s.threads.back()->name);
    return id;
}

void Thread::join() {
    Run& s = sim();
    Run::Lock lock(s.big);
    s.step(lock, "joins " + s.th(id_)->name);
    while (s.th(id_)->status != SimThread::Done)
        s.block(lock, s.th(id_), std::nullopt);
    id_ = -1;
}

void sleep_for(std::chrono::nanoseconds duration) {
    Run& s = sim();
    Run::Lock lock(s.big);
    s.step(lock, "sleeps until " + seconds(s.now + duration));
    s.block(lock, nullptr, s.now + duration);
}

std::optional<MachineLock> acquire_machine_lock(std::string_view, std::uint64_t run) {
    Run& s = sim();
    Run::Lock lock(s.big);
    s.step(lock, "tries the machine lock");
    if (s.machine_holder >= 0) return std::nullopt;
    s.machine_holder = t_self;
    s.machine_run = run;
    return MachineLock(t_self);
}

MachineLock::~MachineLock() {
    if (holder_ < 0) return;
    Run& s = sim();
    Run::Lock lock(s.big);
    s.machine_holder = -1;
    s.note("releases the machine lock");
}

Result<> run_core(std::uint64_t run, const std::string&, const std::string&, const std::string&) {
    Run& s = sim();
    Run::Lock lock(s.big);
    s.step(lock, "clash_start for run " + std::to_string(run));
    if (s.core) s.fail("two cores in the library");
    s.core = CoreInLibrary{run, t_self, s.now, std::nullopt};
    for (std::uint64_t asked_for : s.shutdowns_in_library) {
        if (asked_for != run) s.fail("a shutdown request for run " + std::to_string(asked_for) + " reached run " + std::to_string(run));
        s.core->asked_at = s.now;
    }
    for (;;) {
        std::optional<Time> end;
        if (s.core->asked_at) end = *s.core->asked_at + s.scenario.end_delay;
        else if (s.scenario.core_life != Duration::max()) end = s.core->entered + s.scenario.core_life;
        if (s.tearing_down || (end && s.now >= *end)) break;
        s.block(lock, &s.core_token, end);
    }
    s.core.reset();
    s.note("clash_start returns");
    return {};
}

void shutdown_core(std::uint64_t run_at_stop) {
    Run& s = sim();
    Run::Lock lock(s.big);
    s.step(lock, "clash_shutdown for run " + std::to_string(run_at_stop));
    ++s.shutdown_calls;
    s.shutdowns_in_library.push_back(run_at_stop);
    if (s.core) {
        if (s.core->run != run_at_stop)
            s.fail("a shutdown request for run " + std::to_string(run_at_stop) + " reached run " + std::to_string(s.core->run));
        if (!s.core->asked_at) s.core->asked_at = s.now;
        s.wake(&s.core_token);
    }
    const Duration length = s.shutdown_calls == s.slow_call ? s.scenario.slow_shutdown : 0s;
    if (length > 0s) {
        s.note("clash_shutdown takes until " + seconds(s.now + length));
        s.block(lock, nullptr, s.now + length);
    }
    s.shutdowns_in_library.erase(std::find(s.shutdowns_in_library.begin(), s.shutdowns_in_library.end(), run_at_stop));
    s.note("clash_shutdown returns");
}

}  // namespace velmor::explorer

namespace velmor {
inline namespace explored {
void log_message(std::string_view message) noexcept {
    explorer::Run::Lock lock(explorer::sim().big);
    explorer::sim().note("log \"" + std::string(message) + "\"");
}
}  // namespace explored
}  // namespace velmor
