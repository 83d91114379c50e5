#pragma once
// An ActionContext of a test's own over a fresh core record: the events it
// reports are kept instead of sent, each preparation step is recorded as it
// runs, and any step can be made to fail or be held where it starts. The
// steps are the system's, or with `Steps::skipped` steps that succeed
// without touching anything.

#include <gtest/gtest.h>

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
public:
    enum class Steps { system, skipped };

    explicit TestActions(CoreTimings timings = CoreTimings{std::chrono::milliseconds(50), std::chrono::seconds(5)},
                         Steps kind = Steps::system, LogRateLimit refusal_limit = LogRateLimit())
        : core_(std::make_shared<CoreShared>(timings)) {
        core_->machine_lock_name = "Velmor.Test.Actions." + unique_suffix();
        const PreparationSteps real = system_preparation_steps();
        PreparationSteps steps;
        steps.data_folder = [state = state_, kind, real](const std::filesystem::path& dir)
            -> Result<PreparedDataFolder> {
            state->before_steps();
            if (Result<> go = state->enter("data folder"); !go) return fail(std::move(go.error()));
            return kind == Steps::system ? real.data_folder(dir) : PreparedDataFolder();
        };
        steps.core_library_trust = step("core library trust", kind, real.core_library_trust);
        steps.wintun = [state = state_, kind, real](const std::filesystem::path& dir) -> Result<> {
            if (Result<> go = state->enter("wintun"); !go) return go;
            return kind == Steps::system ? real.wintun(dir) : Result<>();
        };
        steps.core_library = step("core library", kind, real.core_library);
        context_ = std::make_shared<ActionContext>(
            core_, std::move(steps),
            [state = state_](EventId id, EventKind event_kind, std::string_view text) {
                std::lock_guard lock(state->mutex);
                state->events.emplace_back(id, event_kind, std::string(text));
            },
            std::move(refusal_limit));
    }

    CoreShared& core() const { return *core_; }
    ActionContext& context() const { return *context_; }

    // From now on the step named `step` ("data folder", "core library trust",
    // "wintun", "core library") fails with `message` when it is reached.
    void fail_step(const std::string& step, const std::string& message) {
        std::lock_guard lock(state_->mutex);
        state_->failing[step] = message;
    }
    // Holds each preparation where it begins until release(); held() tells
    // whether one is waiting there.
    void hold() {
        std::lock_guard lock(state_->mutex);
        state_->holding = true;
    }
    void release() {
        {
            std::lock_guard lock(state_->mutex);
            state_->holding = false;
        }
        state_->changed.notify_all();
    }
    bool held() const {
        std::lock_guard lock(state_->mutex);
        return state_->waiting;
    }

    // The steps reached (and events reported) since the last call.
    std::vector<std::string> take_steps() { return take(state_->steps); }
    std::vector<Event> take_events() { return take(state_->events); }

    // "start" with a configuration a fake core runs until it is stopped.
    Result<> start(std::string_view who = "a tester") { return run_attributed_action(*context_, "start", "{}", who); }

private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> steps;
        std::vector<Event> events;
        std::map<std::string, std::string> failing;
        bool holding = false;
        bool waiting = false;

        void before_steps() {
            std::unique_lock lock(mutex);
            waiting = holding;
            changed.wait(lock, [this] { return !holding; });
            waiting = false;
        }
        Result<> enter(const std::string& step) {
            std::lock_guard lock(mutex);
            steps.push_back(step);
            if (const auto found = failing.find(step); found != failing.end()) return fail(found->second);
            return {};
        }
    };

    std::function<Result<>()> step(std::string name, Steps kind, std::function<Result<>()> real) {
        return [state = state_, name, kind, real]() -> Result<> {
            if (Result<> go = state->enter(name); !go) return go;
            return kind == Steps::system ? real() : Result<>();
        };
    }

    template <class T>
    std::vector<T> take(std::vector<T>& from) {
        std::lock_guard lock(state_->mutex);
        return std::exchange(from, {});
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::shared_ptr<CoreShared> core_;
    std::shared_ptr<ActionContext> context_;
};

}  // namespace velmor::testing
