#include "control/actions.hpp"

#include <atomic>
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
#include "env/data_folder.hpp"
#include "env/event_log.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"
#include "env/log_limit.hpp"

namespace velmor {
namespace {

std::atomic<void (*)()> g_before_prepare{nullptr};

// Set while a preparation runs, also one whose request has given up on it:
// a second preparation would work on the same folders.
std::atomic<bool> g_preparing{false};

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

// The data folder, Wintun and the core library: the file and library work
// of a start, any call of which may wait on someone else's handle (an
// oplock holds an open for as long as its holder likes). Runs on a thread of
// its own; the folders stay held until the waiting request takes them, or
// are let go at once when it has given up.
void prepare(const std::shared_ptr<Preparation>& preparation, const std::filesystem::path& data_dir) noexcept {
    Result<PreparedDataFolder> outcome = PreparedDataFolder();
    bool for_safety = false;
    try {
        if (void (*hook)() = g_before_prepare.load(); hook != nullptr) hook();
        outcome = prepare_data_folder(data_dir);
        // What SYSTEM copies and loads from the program folder, on every
        // start: the library may be loaded already, and wintun.dll is copied
        // anew.
        if (outcome) {
            if (Result<std::filesystem::path> folder = exe_dir(); !folder)
                outcome = fail(std::move(folder.error()));
            else if (Result<> trusted = check_core_library_trust(*folder); !trusted)
                outcome = fail(std::move(trusted.error()));
        }
        if (outcome) {
            if (Result<> wintun = ensure_wintun(data_dir); !wintun) outcome = fail(std::move(wintun.error()));
        }
        // Every refusal so far is one for safety; the load's is not.
        for_safety = !outcome;
        if (outcome) {
            if (Result<CoreLibrary> library = load_core_library(); !library)
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
            end_preparation();
        }
    }
    if (abandoned) {
        outcome = PreparedDataFolder();  // lets the folders go first
        end_preparation();
    }
    preparation->changed.notify_all();
}

// Refusals for safety reported to the Event Log: a client that repeats a
// refused start must not flood it.
struct RefusalEvents {
    std::mutex mutex;
    LogRateLimit limit;  // guarded by mutex
};

RefusalEvents& refusal_events() {
    static RefusalEvents& events = *new RefusalEvents;  // pipe threads outlive wmain
    return events;
}

std::uint64_t accepted_runs(CoreShared& core) {
    std::lock_guard lock(core.mutex);
    return core.current_run;
}

Result<> start(std::optional<std::string> config, CoreShared& core, bool& for_safety) {
    if (Result<> checked = check_config(config); !checked) return checked;

    // A start that would be refused touches nothing: the running core has
    // its folder and its Wintun library in use.
    if (Result<> allowed = check_start_allowed(core); !allowed) return allowed;
    if (!begin_preparation()) return fail(std::string(ACTION_BUSY_ERROR));

    std::filesystem::path data_dir = service_data_dir();
    std::filesystem::path log_path = core_log_path();
    // A folder that someone else could write, or a Wintun library that is
    // not the installed one, refuses the start. The folders stay held until
    // the start has been decided.
    std::shared_ptr<Preparation> preparation;
    try {
        preparation = std::make_shared<Preparation>();
        std::thread([preparation, data_dir] { prepare(preparation, data_dir); }).detach();
    } catch (const std::exception&) {
        // std::system_error or std::bad_alloc: nothing runs.
        end_preparation();
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

Result<> start_action(std::optional<std::string> config, CoreShared& core) {
    bool for_safety = false;
    return start(std::move(config), core, for_safety);
}

Result<> stop_action(CoreShared& core) { return stop_core(core); }

bool begin_preparation() { return !g_preparing.exchange(true); }

void end_preparation() { g_preparing.store(false); }

void report_start_refused(std::string_view text) {
    RefusalEvents& events = refusal_events();
    {
        std::lock_guard lock(events.mutex);
        if (!events.limit.admit(LogRateLimit::Clock::now()).write) return;
    }
    report_event(EventId::start_refused, EventKind::warning, text);
}

void log_action(const ActionReport& report) {
    const std::string head = std::string(report.action) + " by " + std::string(report.who);
    if (report.changed && report.result) {
        const std::string line = head + ": core " + std::string(report.status);
        log_message(line);
        report_event(report.action == "start" ? EventId::core_started : EventId::core_stopped,
                     EventKind::information, line);
    } else if (report.changed) {
        log_message(head + " failed: " + escape_for_log(report.result.error().one_line()));
    } else if (report.result) {
        log_client_message(head + ": core already " + std::string(report.status));
    } else {
        const std::string line = head + " refused: " + escape_for_log(report.result.error().one_line());
        log_client_message(line);
        if (report.for_safety) report_start_refused(line);
    }
}

Result<> run_attributed_action(std::string_view action, std::optional<std::string> config, CoreShared& core,
                               std::string_view who) {
    if (action == "start") {
        const std::uint64_t before = accepted_runs(core);
        bool for_safety = false;
        const Result<> result = start(std::move(config), core, for_safety);
        const bool changed = accepted_runs(core) != before;
        log_action({action, who, result, changed, for_safety, core_snapshot(core).status});
        return result;
    }
    const std::string_view found = core_snapshot(core).status;
    const Result<> result = stop_core(core);
    const bool changed = found != "stopped" && found != "failed";
    log_action({action, who, result, changed, false, core_snapshot(core).status});
    return result;
}

namespace detail {
void before_prepare_for_testing(void (*hook)()) { g_before_prepare = hook; }
}  // namespace detail

}  // namespace velmor
