#include "control/actions.hpp"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "base/text.hpp"
#include "control/config_check.hpp"
#include "core/core_controller.hpp"
#include "core/core_library.hpp"
#include "core/program_trust.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

// One start's preparation, shared by the thread that does it and the request
// that waits for it.
struct Preparation {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;       // guarded by mutex
    bool abandoned = false;  // guarded by mutex
    Result<PreparedDataFolder> outcome = PreparedDataFolder();  // guarded by mutex
    bool for_safety = false;  // guarded by mutex: the outcome is a refusal for safety
};

// The context's preparation steps, on a thread of their own; the folders
// stay held until the waiting request takes them, or are let go at once
// when it has given up. Ends the context's preparation mark either way.
void prepare(ActionContext& context, const std::shared_ptr<Preparation>& preparation,
             const std::filesystem::path& data_dir) noexcept {
    const PreparationSteps& steps = context.steps();
    Result<PreparedDataFolder> outcome = PreparedDataFolder();
    bool for_safety = false;
    try {
        outcome = steps.data_folder(data_dir);
        if (outcome) {
            if (Result<> trusted = steps.core_library_trust(); !trusted) outcome = fail(std::move(trusted.error()));
        }
        if (outcome) {
            if (Result<> wintun = steps.wintun(data_dir); !wintun) outcome = fail(std::move(wintun.error()));
        }
        // Every refusal so far is one for safety; the load's is not.
        for_safety = !outcome;
        if (outcome) {
            if (Result<> library = steps.core_library(); !library)
                outcome = fail(std::move(library.error()).context("load core library"));
        }
    } catch (const std::bad_alloc&) {
        outcome = fail("start preparation: out of memory");
    }
    bool abandoned = false;
    {
        std::lock_guard lock(preparation->mutex);
        preparation->done = true;
        abandoned = preparation->abandoned;
        if (!abandoned) {
            preparation->outcome = std::move(outcome);
            preparation->for_safety = for_safety;
            context.end_preparation();
        }
    }
    if (abandoned) {
        outcome = PreparedDataFolder();  // lets the folders go first
        context.end_preparation();
    }
    preparation->changed.notify_all();
}

std::uint64_t accepted_runs(CoreShared& core) {
    std::lock_guard lock(core.mutex);
    return core.current_run;
}

Result<> start(ActionContext& context, std::optional<std::string> config, bool& for_safety) {
    CoreShared& core = context.core();
    if (Result<> checked = check_config(config); !checked) return checked;

    // A start that would be refused touches nothing: the running core has
    // its folder and its Wintun library in use.
    if (Result<> allowed = check_start_allowed(core); !allowed) return allowed;
    if (!context.begin_preparation()) return fail(std::string(ACTION_BUSY_ERROR));

    std::filesystem::path data_dir = service_data_dir();
    std::filesystem::path log_path = core_log_path();
    // A folder that someone else could write, or a Wintun library that is
    // not the installed one, refuses the start. The folders stay held until
    // the start has been decided.
    std::shared_ptr<Preparation> preparation;
    try {
        preparation = std::make_shared<Preparation>();
        std::thread([owner = context.shared_from_this(), preparation, data_dir] {
            prepare(*owner, preparation, data_dir);
        }).detach();
    } catch (const std::exception&) {
        // std::system_error or std::bad_alloc (std::bad_weak_ptr for a
        // context not owned by a std::shared_ptr): nothing runs.
        context.end_preparation();
        return fail("start preparation could not be started");
    }

    std::unique_lock lock(preparation->mutex);
    const auto deadline = std::chrono::steady_clock::now() + core.timings.prepare_timeout;
    if (!preparation->changed.wait_until(lock, deadline, [&] { return preparation->done; })) {
        // Its thread stays where it is stuck and lets the folders go when it
        // returns; until then every start is refused.
        preparation->abandoned = true;
        return fail(std::string(PREPARE_TIMEOUT_ERROR));
    }
    Result<PreparedDataFolder> prepared = std::move(preparation->outcome);
    for_safety = preparation->for_safety;
    lock.unlock();
    if (!prepared) return fail(std::move(prepared.error()));

    return start_core(core, std::move(*config), std::move(data_dir), std::move(log_path));
}

}  // namespace

PreparationSteps system_preparation_steps() {
    PreparationSteps steps;
    steps.data_folder = prepare_data_folder;
    steps.core_library_trust = []() -> Result<> {
        Result<std::filesystem::path> folder = exe_dir();
        if (!folder) return fail(std::move(folder.error()));
        return check_core_library_trust(*folder);
    };
    steps.wintun = ensure_wintun;
    steps.core_library = []() -> Result<> {
        if (Result<CoreLibrary> library = load_core_library(); !library) return fail(std::move(library.error()));
        return {};
    };
    return steps;
}

ActionContext::ActionContext(std::shared_ptr<CoreShared> core)
    : ActionContext(std::move(core), system_preparation_steps(), report_event) {}

ActionContext::ActionContext(std::shared_ptr<CoreShared> core, PreparationSteps steps, EventSink events,
                             LogRateLimit refusal_limit)
    : core_(std::move(core)), steps_(std::move(steps)), events_(std::move(events)),
      refusal_limit_(std::move(refusal_limit)) {}

void ActionContext::report(EventId id, std::string_view text) const { events_(id, text); }

void ActionContext::report_start_refused(std::string_view text) {
    {
        std::lock_guard lock(refusals_mutex_);
        if (!refusal_limit_.admit(LogRateLimit::Clock::now()).write) return;
    }
    report(EventId::start_refused, text);
}

Result<> start_action(ActionContext& context, std::optional<std::string> config) {
    bool for_safety = false;
    return start(context, std::move(config), for_safety);
}

Result<> stop_action(ActionContext& context) { return stop_core(context.core()); }

void log_action(ActionContext& context, const ActionReport& report) {
    const std::string head = std::string(action_word(report.action)) + " by " + std::string(report.who);
    if (report.changed && report.result) {
        const std::string line = head + ": core " + std::string(report.status);
        log_message(line);
        context.report(report.action == Action::start ? EventId::core_started : EventId::core_stopped, line);
    } else if (report.changed) {
        log_message(head + " failed: " + escape_for_log(report.result.error().one_line()));
    } else if (report.result) {
        log_client_message(head + ": core already " + std::string(report.status));
    } else {
        const std::string line = head + " refused: " + escape_for_log(report.result.error().one_line());
        log_client_message(line);
        if (report.for_safety) context.report_start_refused(line);
    }
}

Result<> run_attributed_action(ActionContext& context, Action action, std::optional<std::string> config,
                               std::string_view who) {
    CoreShared& core = context.core();
    // Waits for the start or stop under way, which is bounded itself, but
    // never without a bound of its own.
    if (!context.try_lock_actions_for(core.timings.action_wait)) {
        Result<> busy = fail(std::string(ACTION_BUSY_ERROR));
        log_action(context, ActionReport{action, who, busy});
        return busy;
    }
    struct Unlock {
        ActionContext& context;
        ~Unlock() { context.unlock_actions(); }
    } unlock{context};
    if (action == Action::start) {
        const std::uint64_t before = accepted_runs(core);
        bool for_safety = false;
        const Result<> result = start(context, std::move(config), for_safety);
        const bool changed = accepted_runs(core) != before;
        log_action(context, {action, who, result, changed, for_safety, core_snapshot(core).status});
        return result;
    }
    const std::string_view found = core_snapshot(core).status;
    const Result<> result = stop_core(core);
    const bool changed = found != "stopped" && found != "failed";
    log_action(context, {action, who, result, changed, false, core_snapshot(core).status});
    return result;
}

}  // namespace velmor
