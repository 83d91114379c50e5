#pragma once
// The interleaving explorer: runs the real code of a concurrent unit over
// every schedule of a small scenario, within a bound on departures from a
// default schedule, in virtual time.
//
// A unit takes the primitives below, as `Sync`, instead of the standard ones
// (base/sync.hpp's SystemSync). Each taking of a named
// mutex, condition wait, notification, thread creation or join and sleep is a
// point where the scheduler chooses who runs next; exactly one thread runs at
// a time. By default the running thread goes on, else the oldest runnable
// one; any other pick costs one (a delay bound, which also bounds the picks
// made when a thread blocks). Virtual time moves when no thread can run, or,
// at the same cost, up to `slow_thread` ahead of a running thread held up by
// the system. A model may add free choices of its own (which call is slow,
// which thread creation fails). The schedules are enumerated depth first by
// replaying a prefix of choices.
//
// Checked for every unit: no run goes on for ever, and no waiter with a
// condition (ConditionVariable::wait_until with a predicate) sleeps to its
// deadline while every thread was waiting and its condition already held: a
// missed wake-up, which outside the explorer only makes things slow.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velmor::explorer {

struct VirtualClock {
    using rep = std::int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<VirtualClock>;
    static constexpr bool is_steady = true;
    static time_point now();
};
using Time = VirtualClock::time_point;
using Duration = std::chrono::nanoseconds;

// "  1.500 s"
std::string seconds(Time t);

class Mutex {
public:
    void lock();
    void unlock();

private:
    int owner_ = -1;
};

class ConditionVariable {
public:
    void notify_all();
    // Wakes the waiter that has waited longest.
    void notify_one();
    // No spurious wake-ups: only a notification or the deadline ends a wait.
    std::cv_status wait_until(std::unique_lock<Mutex>& lock, Time deadline);
    template <class Predicate>
    bool wait_until(std::unique_lock<Mutex>& lock, Time deadline, Predicate ready) {
        while (!ready())
            if (wait_until(lock, deadline) == std::cv_status::timeout) {
                const bool late = ready();
                if (late) slept_past_deadline();
                return late;
            }
        return true;
    }
    void wait(std::unique_lock<Mutex>& lock);
    template <class Predicate>
    void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
        while (!ready()) wait(lock);
    }

private:
    void slept_past_deadline();
};

class Thread {
public:
    Thread() = default;
    // Throws std::system_error when the model makes this creation fail.
    template <class F>
    explicit Thread(F&& body) {
        auto owned = std::make_shared<std::decay_t<F>>(std::forward<F>(body));
        id_ = spawn([owned] { (*owned)(); });
    }
    Thread(Thread&& other) noexcept : id_(std::exchange(other.id_, -1)) {}
    Thread& operator=(Thread&& other) noexcept {
        id_ = std::exchange(other.id_, -1);
        return *this;
    }
    ~Thread() = default;
    bool joinable() const { return id_ >= 0; }
    void join();
    void detach() { id_ = -1; }

private:
    static int spawn(std::function<void()> body);
    int id_ = -1;
};

void sleep_for(std::chrono::nanoseconds duration);

// The explored twin of base/sync.hpp's SystemSync.
struct Sync {
    using Mutex = explorer::Mutex;
    using ConditionVariable = explorer::ConditionVariable;
    using Clock = VirtualClock;
    using Thread = explorer::Thread;
    static void sleep_for(Duration duration) { explorer::sleep_for(duration); }
};

// For a model that names a condition variable private to its unit: it reads
// `latest` right after making the unit.
struct LatestCondition : ConditionVariable {
    LatestCondition() { latest = this; }
    static inline const void* latest = nullptr;
};
struct NamingSync : Sync {
    using ConditionVariable = LatestCondition;
};

class Schedule;

// What a unit under exploration adds: its threads, its models of what lies
// outside it, and its invariants. Every call is made under the schedule's
// lock (Schedule::big).
class Model {
public:
    virtual ~Model() = default;
    // The name of a Mutex or ConditionVariable for the trace. Taking a mutex
    // that has no name is no scheduling point (a lock that guards one flag,
    // whose waits and notifications are the steps that matter).
    virtual std::string name_of(const void* object) const {
        (void)object;
        return {};
    }
    // What a thread created by `creator` is called (a number is appended).
    virtual std::string new_thread_name(int creator) {
        (void)creator;
        return "thread ";
    }
    // Whether this creation fails as the system may refuse one.
    virtual bool thread_creation_fails() { return false; }
    // After every step of any thread.
    virtual void after_step() {}
    // When every thread waits and virtual time is about to pass.
    virtual void before_time_passes() {}
    // Once no thread can run and no time is left to pass.
    virtual void at_rest() {}
    // Before the threads are run to their end unchecked: release whatever the
    // model keeps waiting (a core that ignores every request).
    virtual void tear_down() {}
};

struct SimThread {
    std::string name;
    enum { Runnable, Blocked, Done } status = Runnable;
    const void* waiting_on = nullptr;
    std::optional<Time> wake_at;
    std::uint64_t blocked_since = 0;  // order of blocking, for notify_one
    bool timed_out = false;
    bool timed_out_idle = false;  // its deadline came while no thread could run
    std::condition_variable turn;
    std::thread os;
};

struct Choice {
    std::vector<int> costs;
    int taken;
};

// One schedule of one scenario. Every member is touched only under `big` or
// by the one thread that the scheduler lets run.
class Schedule {
public:
    using Lock = std::unique_lock<std::mutex>;

    Schedule(std::vector<int> prefix, Duration slow_thread, int step_limit)
        : prefix_(std::move(prefix)), slow_thread_(slow_thread), step_limit_(step_limit) {}

    std::mutex big;
    std::unique_ptr<Model> model;
    std::vector<std::unique_ptr<SimThread>> threads;
    Time now{};
    Duration held_up{};  // time that passed while some thread could run
    bool tearing_down = false;
    std::optional<std::string> failure;
    std::vector<std::string> trace;
    std::vector<Choice> choices;
    // Counts every switch to another thread and every passing of time.
    std::uint64_t interruptions = 0;

    // The thread running now (-1: none of the schedule's).
    static int self();
    SimThread* th(int id) { return threads[static_cast<std::size_t>(id)].get(); }

    void note(const std::string& what);
    void fail(const std::string& why);
    // A free choice among costs.size() alternatives, each at its cost; the
    // first is the default.
    int choose(std::vector<int> costs);
    int add_thread(std::string name, std::function<void()> body);
    // A scheduling point of the running thread.
    void step(Lock& lock, const std::string& what);
    // Blocks the running thread on `on` until woken or `until`; true when the time ran out.
    bool block(Lock& lock, const void* on, std::optional<Time> until);
    void wake(const void* on);
    void wake_one(const void* on);

    // Runs the threads the model added until no thread can run and no time
    // is left, checks the model at rest, then runs everything to its end.
    void run();

private:
    std::optional<Time> next_timer();
    bool advance(bool idle);
    int pick();
    void reschedule(Lock& lock);

    std::vector<int> prefix_;
    Duration slow_thread_;
    int step_limit_;
    std::condition_variable over_changed_;
    int running_ = -1;
    bool over_ = false;
    int steps_ = 0;
    std::uint64_t blocks_ = 0;
};

// The schedule being explored.
Schedule& current();

struct Exploration {
    int bound = 2;
    Duration slow_thread = std::chrono::seconds(2);
    int step_limit = 20'000;
};

struct Explored {
    int schedules = 0;
    double seconds = 0;  // wall time, for the summary line
    std::optional<std::string> failure;  // the broken invariant and its schedule's trace
};

// Explores every schedule within `how.bound`. `make` builds one schedule's
// model under the schedule's lock and adds its threads.
// `seen`, when given, looks at each schedule once it has run.
Explored explore(const Exploration& how, const std::function<std::unique_ptr<Model>(Schedule&)>& make,
                 const std::function<void(const Schedule&)>& seen = {});

// Prints "[ explorer ] {name} bound {b}: {n} schedules, {t} s".
void print_summary(const std::string& name, int bound, const Explored& explored);

}  // namespace velmor::explorer
