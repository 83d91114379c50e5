#pragma once
// The service's run as the service manager sees it, apart from its calls:
// which status goes out when, who makes the stopped report, and how a stop
// reaches the service routine. Three threads meet here: the service routine,
// the control handler (on the dispatcher's thread on Windows, on one of its
// own under Wine) and the pipe server's thread.
//
// The phases only move forward (starting, running, stopping, stopped), and
// one thread at a time reports: whoever moves the phase while nobody is
// reporting makes the report, outside the lock, and then also every move
// that others made meanwhile. So the reports keep the phases' order, each is
// made at most once, the stopped report is the last, and nobody ever waits
// for a report in progress. The stopped report follows the core's stop and
// is made by the routine, or, while a handler is inside, by the last handler
// to leave: Wine runs a handler holding the lock that its stopped report
// takes, so a routine that reported while a handler waited for it would
// wait for that handler in turn. The primitives are a parameter so that the
// interleaving explorer runs the same code.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "base/sync.hpp"
#include "service/service_status.hpp"

namespace velmor {

// How long a handler waits for the core to stop: below the 30 s in which
// Windows wants a handler to answer and the 10 s of Wine's service manager.
inline constexpr std::chrono::seconds HANDLER_STOP_WAIT{8};

// What ended the wait for a stop: the service manager's Stop, the system
// going down (pre-shutdown), the pipe server's end, or a status report that
// failed while starting or running.
enum class StopCause { none, stop_control, preshutdown, server_ended, report_failed };

template <class Sync>
class BasicServiceLifecycle {
public:
    // Makes one status report; false when it failed. Called without the
    // lifecycle's lock, by one thread at a time.
    using Report = std::function<bool(ServicePhase, ServiceFailure)>;
    using TimePoint = typename Sync::Clock::time_point;

    explicit BasicServiceLifecycle(Report report) : report_(std::move(report)) {}
    BasicServiceLifecycle(const BasicServiceLifecycle&) = delete;
    BasicServiceLifecycle& operator=(const BasicServiceLifecycle&) = delete;

    // Routine, once its handler is registered: START_PENDING, which accepts
    // no control. False when that report failed.
    bool start() {
        std::unique_lock lock(mutex_);
        advance(lock, ServicePhase::starting);
        return !start_failed_;
    }

    // Pipe server: the pipe is served, or its name is held by another
    // process and the server waits for it (the service must be stoppable
    // then too). RUNNING, unless a stop came first.
    void served() {
        std::unique_lock lock(mutex_);
        if (cause_ == StopCause::none) advance(lock, ServicePhase::running);
    }

    // Pipe server: it has ended; `failure` none when it was asked to stop.
    void server_ended(ServiceFailure failure) {
        std::unique_lock lock(mutex_);
        fail_with(failure);
        ask_stop(StopCause::server_ended);
    }

    // Handler: the answer to a control (answer_control). A stop is recorded
    // whenever it comes, also before START_PENDING has gone out; once the
    // service runs, the handler reports STOP_PENDING and waits up to
    // HANDLER_STOP_WAIT for the core's stop, so that whoever sent the Stop
    // finds the service stopped when the control returns.
    std::uint32_t control(std::uint32_t code) {
        const ControlAnswer answer = answer_control(code);
        if (!answer.stops) return answer.code;
        std::unique_lock lock(mutex_);
        ++handlers_;
        ask_stop(code == control_code::PRESHUTDOWN ? StopCause::preshutdown : StopCause::stop_control);
        if (wanted_ >= ServicePhase::running) {
            advance(lock, ServicePhase::stopping);
            (void)changed_.wait_until(lock, Sync::Clock::now() + HANDLER_STOP_WAIT, [this] { return work_done_; });
        }
        --handlers_;
        if (work_done_ && handlers_ == 0) advance(lock, ServicePhase::stopped);
        changed_.notify_all();
        return answer.code;
    }

    // Routine: blocks until a stop is asked for, reports STOP_PENDING and
    // says what asked.
    StopCause wait_for_stop() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return cause_ != StopCause::none; });
        if (wanted_) advance(lock, ServicePhase::stopping);
        return cause_;
    }

    // Routine, once the core has stopped (or the host failed): STOPPED, with
    // the first failure recorded, here or by the last handler inside.
    // Nothing when nothing was reported: the service manager then sees the
    // start fail by itself.
    void finish(ServiceFailure failure) {
        std::unique_lock lock(mutex_);
        fail_with(failure);
        work_done_ = true;
        changed_.notify_all();
        if (wanted_ && handlers_ == 0) advance(lock, ServicePhase::stopped);
    }

    // The dispatcher's thread, once the dispatcher has returned: waits up
    // to `deadline` for the handlers still inside. True when there were
    // any, whose answers are still to be sent.
    bool wait_for_handlers(TimePoint deadline) {
        std::unique_lock lock(mutex_);
        const bool any = handlers_ > 0;
        (void)changed_.wait_until(lock, deadline, [this] { return handlers_ == 0; });
        return any;
    }

private:
    using Lock = std::unique_lock<typename Sync::Mutex>;

    void fail_with(ServiceFailure failure) {
        if (failure_ == ServiceFailure::none) failure_ = failure;
    }

    void ask_stop(StopCause cause) {
        if (cause_ == StopCause::none) cause_ = cause;
        changed_.notify_all();
    }

    // Moves the phase forward to `phase`; the caller reports it, and what
    // others ask meanwhile, unless someone else is reporting.
    void advance(Lock& lock, ServicePhase phase) {
        if (wanted_ >= phase) return;
        wanted_ = phase;
        if (reporting_) return;
        reporting_ = true;
        while (reported_ != wanted_) {
            const ServicePhase next = *wanted_;
            const ServiceFailure failure = failure_;
            lock.unlock();
            const bool made = report_(next, failure);
            lock.lock();
            reported_ = next;
            if (made || next > ServicePhase::running) continue;
            // A service that cannot say it starts or runs stops, with an
            // exit code that the recovery actions answer.
            if (next == ServicePhase::starting) start_failed_ = true;
            fail_with(ServiceFailure::host_failed);
            ask_stop(StopCause::report_failed);
        }
        reporting_ = false;
    }

    Report report_;
    typename Sync::Mutex mutex_;
    typename Sync::ConditionVariable changed_;
    // Everything below is guarded by mutex_.
    std::optional<ServicePhase> wanted_;    // none: nothing to report yet
    std::optional<ServicePhase> reported_;  // the last report made
    bool reporting_ = false;
    bool start_failed_ = false;
    StopCause cause_ = StopCause::none;
    ServiceFailure failure_ = ServiceFailure::none;
    bool work_done_ = false;
    int handlers_ = 0;
};

extern template class BasicServiceLifecycle<SystemSync>;
using ServiceLifecycle = BasicServiceLifecycle<SystemSync>;

}  // namespace velmor
