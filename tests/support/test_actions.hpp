#pragma once
// An ActionContext of a test's own over a fresh core record: the events it
// reports are kept instead of sent, each preparation step is recorded as it
// runs, and any step can be made to fail, or the preparation held where it
// begins. The steps are the system's, or with `Steps::skipped` steps that
// succeed without touching anything.

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "control/actions.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor::testing {

using Event = std::tuple<EventId, EventKind, std::string>;

class TestActions {
    template <class F>
    auto locked(F&& f) const {
        std::lock_guard lock(state_->mutex);
        return f();
    }

public:
    enum class Steps { system, skipped };

    explicit TestActions(CoreTimings timings = CoreTimings{std::chrono::milliseconds(50), std::chrono::seconds(5)},
                         Steps kind = Steps::system, LogRateLimit refusal_limit = LogRateLimit())
        : core_(std::make_shared<CoreShared>(timings)) {
        core_->machine_lock_name = "Velmor.Test.Actions." + unique_suffix();
        const PreparationSteps real = system_preparation_steps();
        const PreparationSteps steps{recorded("data folder", kind, real.data_folder),
                                     recorded("core library trust", kind, real.core_library_trust),
                                     recorded("wintun", kind, real.wintun),
                                     recorded("core library", kind, real.core_library)};
        const auto sink = [state = state_](EventId id, std::string_view text) {
            std::lock_guard lock(state->mutex);
            state->events.emplace_back(id, event_row(id).kind, std::string(text));
        };
        context_ = std::make_shared<ActionContext>(core_, steps, sink, std::move(refusal_limit));
    }

    CoreShared& core() const { return *core_; }
    ActionContext& context() const { return *context_; }

    // From now on the step named `step` ("data folder", "core library trust",
    // "wintun", "core library") fails with `message` when it is reached.
    void fail_step(const std::string& step, const std::string& message) {
        locked([&] { state_->failing[step] = message; });
    }
    // Holds each preparation where it begins until release(); held() tells
    // whether one waits there.
    void hold() { locked([&] { state_->holding = true; }); }
    void release() {
        locked([&] { state_->holding = false; });
        state_->changed.notify_all();
    }
    bool held() const { return locked([&] { return state_->waiting; }); }

    // The steps reached (and events reported) since the last call.
    std::vector<std::string> take_steps() { return locked([&] { return std::exchange(state_->steps, {}); }); }
    std::vector<Event> take_events() { return locked([&] { return std::exchange(state_->events, {}); }); }

    // "start" with a configuration a fake core runs until it is stopped.
    Result<> start(std::string_view who = "a tester") { return run_attributed_action(*context_, Action::start, "{}", who); }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> steps;
        std::vector<Event> events;
        std::map<std::string, std::string> failing;
        bool holding = false;
        bool waiting = false;
    };

    // `real`, or success, recorded under `name`; the first step holds.
    template <class R, class... Args>
    std::function<R(Args...)> recorded(std::string name, Steps kind, std::function<R(Args...)> real) {
        return [state = state_, name, kind, real](Args... args) -> R {
            {
                std::unique_lock lock(state->mutex);
                if (name == "data folder") {
                    state->waiting = state->holding;
                    state->changed.wait(lock, [&] { return !state->holding; });
                    state->waiting = false;
                }
                state->steps.push_back(name);
                if (const auto found = state->failing.find(name); found != state->failing.end())
                    return fail(found->second);
            }
            return kind == Steps::system ? real(args...) : R();
        };
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::shared_ptr<CoreShared> core_;
    std::shared_ptr<ActionContext> context_;
};

}  // namespace velmor::testing
