#include "support/explorer.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace velmor::explorer {
namespace {

thread_local int t_self = -1;
// Whether the running thread's last condition wait ended at a deadline that
// came while no thread could run (and it took its mutex back at once).
thread_local bool t_idle_timeout = false;

Schedule* g_schedule = nullptr;

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

}  // namespace

std::string seconds(Time t) {
    char text[32];
    std::snprintf(text, sizeof text, "%7.3f s", static_cast<double>(t.time_since_epoch().count()) / 1e9);
    return text;
}

Schedule& current() { return *g_schedule; }
int Schedule::self() { return t_self; }

void Schedule::note(const std::string& what) {
    if (!tearing_down) trace.push_back(seconds(now) + "  " + (t_self >= 0 ? th(t_self)->name : "-") + ": " + what);
}

void Schedule::fail(const std::string& why) {
    if (tearing_down || failure) return;
    note("INVARIANT BROKEN: " + why);
    failure = why;
}

int Schedule::choose(std::vector<int> costs) {
    if (tearing_down || costs.size() < 2) return 0;
    const std::size_t k = choices.size();
    const int taken = k < prefix_.size() ? prefix_[k] : 0;
    choices.push_back({std::move(costs), taken});
    return taken;
}

void Schedule::wake(const void* on) {
    for (auto& t : threads)
        if (t->status == SimThread::Blocked && t->waiting_on == on) {
            t->status = SimThread::Runnable;
            t->wake_at.reset();
            t->timed_out = false;
        }
}

void Schedule::wake_one(const void* on) {
    SimThread* first = nullptr;
    for (auto& t : threads)
        if (t->status == SimThread::Blocked && t->waiting_on == on && (!first || t->blocked_since < first->blocked_since))
            first = t.get();
    if (!first) return;
    first->status = SimThread::Runnable;
    first->wake_at.reset();
    first->timed_out = false;
}

std::optional<Time> Schedule::next_timer() {
    std::optional<Time> next;
    for (auto& t : threads)
        if (t->status == SimThread::Blocked && t->wake_at && (!next || *t->wake_at < *next)) next = t->wake_at;
    return next;
}

// Lets virtual time pass to the next deadline of a timed wait; false when
// there is none. `idle`: no thread could run.
bool Schedule::advance(bool idle) {
    const std::optional<Time> next = next_timer();
    if (!next) return false;
    if (idle && *next > now) model->before_time_passes();
    now = std::max(now, *next);
    note("time passes");
    int woken = 0;
    for (auto& t : threads)
        if (t->status == SimThread::Blocked && t->wake_at && *t->wake_at <= now) {
            t->status = SimThread::Runnable;
            t->wake_at.reset();
            t->timed_out = true;
            t->timed_out_idle = idle;
            ++woken;
        }
    // Threads woken together may each have made the other's condition true.
    if (woken > 1)
        for (auto& t : threads) t->timed_out_idle = false;
    return true;
}

int Schedule::pick() {
    for (;;) {
        std::vector<int> runnable;
        const bool going_on = running_ >= 0 && th(running_)->status == SimThread::Runnable;
        if (going_on) runnable.push_back(running_);
        for (int i = 0; i < static_cast<int>(threads.size()); ++i)
            if (i != running_ && th(i)->status == SimThread::Runnable) runnable.push_back(i);
        if (runnable.empty()) {
            if (!advance(true)) return -1;
            continue;
        }
        const std::optional<Time> timer = next_timer();
        std::vector<int> costs(runnable.size(), 1);
        costs[0] = 0;
        if (going_on && timer && *timer - now <= slow_thread_) costs.push_back(1);
        const int c = choose(costs);
        if (c < static_cast<int>(runnable.size())) return runnable[static_cast<std::size_t>(c)];
        held_up += *timer - now;
        advance(false);
    }
}

void Schedule::reschedule(Lock& lock) {
    const int me = t_self;
    const int next = pick();
    if (next < 0) {
        running_ = -1;
        over_ = true;
        over_changed_.notify_all();
    } else {
        running_ = next;
        th(next)->turn.notify_all();
    }
    if (me < 0 || th(me)->status == SimThread::Done) return;
    th(me)->turn.wait(lock, [&] { return running_ == me; });
}

void Schedule::step(Lock& lock, const std::string& what) {
    if (!what.empty()) note(what);
    if (++steps_ > step_limit_) fail("no end after " + std::to_string(step_limit_) + " steps");
    model->after_step();
    reschedule(lock);
}

bool Schedule::block(Lock& lock, const void* on, std::optional<Time> until) {
    SimThread& me = *th(t_self);
    me.status = SimThread::Blocked;
    me.waiting_on = on;
    me.wake_at = until;
    me.blocked_since = ++blocks_;
    me.timed_out = false;
    me.timed_out_idle = false;
    reschedule(lock);
    return me.timed_out;
}

int Schedule::add_thread(std::string name, std::function<void()> body) {
    const int id = static_cast<int>(threads.size());
    threads.push_back(std::make_unique<SimThread>());
    threads.back()->name = std::move(name);
    threads.back()->os = std::thread([this, id, body = std::move(body)] {
        {
            Lock lock(big);
            th(id)->turn.wait(lock, [&] { return running_ == id; });
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

void Schedule::run() {
    Lock lock(big);
    running_ = pick();
    if (running_ >= 0) {
        th(running_)->turn.notify_all();
        over_changed_.wait(lock, [&] { return over_; });
    }
    model->at_rest();
    // Everything runs to its end, unchecked.
    tearing_down = true;
    over_ = false;
    model->tear_down();
    running_ = pick();
    if (running_ >= 0) {
        th(running_)->turn.notify_all();
        over_changed_.wait(lock, [&] { return over_; });
    }
    for (auto& t : threads)
        if (t->status != SimThread::Done) {
            std::fprintf(stderr, "%s: a thread never ended after the model let go\n", t->name.c_str());
            std::abort();
        }
    lock.unlock();
    for (auto& t : threads) t->os.join();
}

Explored explore(const Exploration& how, const std::function<std::unique_ptr<Model>(Schedule&)>& make) {
    Explored result;
    const auto begun = std::chrono::steady_clock::now();
    std::vector<int> prefix;
    for (;;) {
        Schedule schedule(prefix, how.slow_thread, how.step_limit);
        g_schedule = &schedule;
        {
            Schedule::Lock lock(schedule.big);
            schedule.model = make(schedule);
        }
        schedule.run();
        schedule.model.reset();
        g_schedule = nullptr;
        ++result.schedules;
        if (schedule.failure) {
            std::string text = *schedule.failure + "\nschedule " + std::to_string(result.schedules) + ":\n";
            for (const std::string& line : schedule.trace) text += "  " + line + "\n";
            result.failure = text;
            break;
        }
        if (!next_prefix(schedule.choices, how.bound, prefix)) break;
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    return result;
}

void print_summary(const std::string& name, int bound, const Explored& explored) {
    std::printf("[ explorer ] %-50s bound %d: %6d schedules, %.1f s%s\n", name.c_str(), bound, explored.schedules,
                explored.seconds, explored.failure ? " (failed)" : "");
    std::fflush(stdout);  // before a later test forks
}

// The primitives, each a step of the current schedule.

Time VirtualClock::now() {
    std::lock_guard lock(current().big);
    return current().now;
}

void Mutex::lock() {
    Schedule& s = current();
    Schedule::Lock lock(s.big);
    if (const std::string name = s.model->name_of(this); !name.empty()) s.step(lock, "takes the " + name);
    while (owner_ >= 0) {
        t_idle_timeout = false;
        s.block(lock, this, std::nullopt);
    }
    owner_ = Schedule::self();
}

void Mutex::unlock() {
    Schedule& s = current();
    Schedule::Lock lock(s.big);
    owner_ = -1;
    s.wake(this);
}

void ConditionVariable::notify_all() {
    Schedule& s = current();
    Schedule::Lock lock(s.big);
    const std::string name = s.model->name_of(this);
    s.step(lock, name.empty() ? "" : "notifies " + name);
    s.wake(this);
}

void ConditionVariable::notify_one() {
    Schedule& s = current();
    Schedule::Lock lock(s.big);
    const std::string name = s.model->name_of(this);
    s.step(lock, name.empty() ? "" : "notifies one waiter of " + name);
    s.wake_one(this);
}

std::cv_status ConditionVariable::wait_until(std::unique_lock<Mutex>& held, Time deadline) {
    Schedule& s = current();
    {
        Schedule::Lock lock(s.big);
        if (const std::string name = s.model->name_of(this); !name.empty())
            s.note("waits on " + name + " until " + seconds(deadline));
    }
    held.mutex()->unlock();
    bool timed_out = true;
    bool idle = false;
    {
        Schedule::Lock lock(s.big);
        if (deadline > s.now) {
            timed_out = s.block(lock, this, deadline);
            idle = timed_out && s.th(Schedule::self())->timed_out_idle;
        }
    }
    t_idle_timeout = idle;
    held.mutex()->lock();  // clears the mark when it has to wait
    return timed_out ? std::cv_status::timeout : std::cv_status::no_timeout;
}

void ConditionVariable::wait(std::unique_lock<Mutex>& held) {
    Schedule& s = current();
    {
        Schedule::Lock lock(s.big);
        if (const std::string name = s.model->name_of(this); !name.empty()) s.note("waits on " + name);
    }
    held.mutex()->unlock();
    {
        Schedule::Lock lock(s.big);
        s.block(lock, this, std::nullopt);
    }
    held.mutex()->lock();
}

void ConditionVariable::slept_past_deadline() {
    if (!t_idle_timeout) return;
    Schedule& s = current();
    Schedule::Lock lock(s.big);
    s.fail("a waiter slept to its deadline although its condition already held (a missed wake-up)");
}

int Thread::spawn(std::function<void()> body) {
    Schedule& s = current();
    Schedule::Lock lock(s.big);
    if (s.model->thread_creation_fails()) {
        s.note("thread creation fails");
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    const std::string name = s.model->new_thread_name(Schedule::self()) + std::to_string(s.threads.size());
    const int id = s.add_thread(name, std::move(body));
    s.step(lock, "creates " + name);
    return id;
}

void Thread::join() {
    Schedule& s = current();
    Schedule::Lock lock(s.big);
    s.step(lock, "joins " + s.th(id_)->name);
    while (s.th(id_)->status != SimThread::Done) s.block(lock, s.th(id_), std::nullopt);
    id_ = -1;
}

void sleep_for(std::chrono::nanoseconds duration) {
    Schedule& s = current();
    Schedule::Lock lock(s.big);
    s.step(lock, "sleeps until " + seconds(s.now + duration));
    s.block(lock, nullptr, s.now + duration);
}

}  // namespace velmor::explorer
