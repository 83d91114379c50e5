#include "control/actions.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <tuple>
#include <vector>

#include "control/config_check.hpp"
#include "control/protocol.hpp"
#include "core/core_controller.hpp"
#include "env/event_log.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

using namespace std::chrono_literals;

Request start_request(std::optional<std::string> config) {
    Request r;
    r.id = "1";
    r.action = "start";
    r.config = std::move(config);
    return r;
}

TEST(StartAction, ConfigurationIsCheckedFirst) {
    auto core = std::make_shared<CoreShared>(CoreTimings{50ms, 2s});
    struct Case {
        const char* name;
        std::optional<std::string> config;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"missing", std::nullopt, "missing config"},
        {"blank", "   ", "empty config"},
        {"too large even when not JSON", std::string(MAX_CONFIG_BYTES + 1, 'x'), "config too large (4194305 bytes)"},
        {"not JSON", "{", "config is not valid JSON"},
        {"raw NUL", std::string("{\"a\":\"\0\"}", 9), "config is not valid JSON"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Result<> outcome = start_action(start_request(c.config).config, *core);
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error().message(), c.error);
        EXPECT_EQ(core_snapshot(*core).status, "stopped");
    }
}

#ifdef _WIN32
TEST(StartAction, MissingCoreLibraryLeavesTheRecordAlone) {
    // The unit tests' folder holds no clash_ffi.dll.
    auto core = std::make_shared<CoreShared>(CoreTimings{50ms, 2s});
    const Result<> outcome = start_action(start_request("{}").config, *core);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), "load core library");
    ASSERT_NE(outcome.error().cause(), nullptr);
    EXPECT_TRUE(outcome.error().cause()->message().starts_with("core library not found: "));
    EXPECT_NE(outcome.error().one_line().find(": GetFileAttributesW failed: 2: "), std::string::npos)
        << outcome.error().one_line();
    EXPECT_EQ(core_snapshot(*core).status, "stopped");
    EXPECT_FALSE(core_snapshot(*core).error);
}
#else
using Event = std::tuple<EventId, EventKind, std::string>;
std::vector<Event> g_events;  // reported on the test's thread

void record_event(EventId id, EventKind kind, std::string_view text) { g_events.emplace_back(id, kind, text); }

// Natively the fake core sits next to the test program; ProgramData points
// into the test's folder.
TEST(StartAction, StartsAndStopsACoreInTheServiceDataFolder) {
    testing::TempDir dir;
    ASSERT_EQ(setenv("ProgramData", dir.path().c_str(), 1), 0);
    auto core = std::make_shared<CoreShared>(CoreTimings{50ms, 5s});
    core->machine_lock_name = "Velmor.Test.Actions." + testing::unique_suffix();

    const std::string config = std::string(R"({"mode":"run"})") + std::string(MAX_CONFIG_BYTES - 14, ' ');
    ASSERT_EQ(config.size(), MAX_CONFIG_BYTES);
    g_events.clear();
    detail::on_event_for_testing(record_event);
    // A data folder that cannot be made safe: a refusal for safety.
    std::ofstream(dir.path() / "file") << "x";
    ASSERT_EQ(setenv("ProgramData", (dir.path() / "file").c_str(), 1), 0);
    ASSERT_FALSE(run_attributed_action("start", "{}", *core, "tester (process 7)"));
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(std::get<0>(g_events[0]), EventId::start_refused);
    EXPECT_EQ(std::get<1>(g_events[0]), EventKind::warning);
    EXPECT_TRUE(std::get<2>(g_events[0]).starts_with("start by tester (process 7) refused: data folder is not safe: "));
    g_events.clear();
    ASSERT_EQ(setenv("ProgramData", dir.path().c_str(), 1), 0);
    ASSERT_TRUE(run_attributed_action("start", config, *core, "tester (process 7)"));
    EXPECT_EQ(core_snapshot(*core).status, "running");
    const std::filesystem::path data = dir.path() / "Velmor" / "service";
    EXPECT_TRUE(std::filesystem::is_directory(data / "log"));
    ASSERT_TRUE(testing::fake_core_recorded(data));
    EXPECT_EQ(testing::read_file(data / "fake-core-config.txt").size(), MAX_CONFIG_BYTES);

    const Result<> again = run_attributed_action("start", "{}", *core, "tester (process 7)");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message(), "core already running");

    ASSERT_TRUE(run_attributed_action("stop", std::nullopt, *core, "tester (process 7)"));
    EXPECT_EQ(core_snapshot(*core).status, "stopped");
    ASSERT_TRUE(run_attributed_action("stop", std::nullopt, *core, "tester (process 7)"))
        << "a stop without a core succeeds";
    detail::on_event_for_testing(nullptr);
    // Only the start and the stop that changed the core are events.
    EXPECT_EQ(g_events, (std::vector<Event>{
                            {EventId::core_started, EventKind::information, "start by tester (process 7): core running"},
                            {EventId::core_stopped, EventKind::information, "stop by tester (process 7): core stopped"}}));
}

std::atomic<bool> g_held{false};
std::atomic<bool> g_release{false};

// Holds a start's preparation as a file held open by someone else would.
void hold_preparation() {
    g_held = true;
    while (!g_release) std::this_thread::sleep_for(1ms);
}

// A preparation stuck on a file costs its own thread only: the start that
// waits for it gives up after its bound, the next start or stop gives up
// waiting for the one under way, and once the file is let go a start runs.
TEST(StartAction, AStuckPreparationHoldsNobodyBeyondTheBounds) {
    testing::TempDir dir;
    ASSERT_EQ(setenv("ProgramData", dir.path().c_str(), 1), 0);
    auto core = std::make_shared<CoreShared>(CoreTimings{50ms, 20s, 1s, 200ms});
    core->machine_lock_name = "Velmor.Test.Actions." + testing::unique_suffix();
    g_held = false;
    g_release = false;
    detail::before_prepare_for_testing(hold_preparation);
    const auto reply_error = [&](std::string_view request) {
        const Result<std::string> reply = handle_request(request, *core);
        return reply ? reply->substr(0, reply->find(",\"data\"")) : reply.error().message();
    };

    std::string first;
    std::thread waiting([&] { first = reply_error(R"({"action":"start","config":"{}"})" "\n"); });
    ASSERT_TRUE(testing::wait_for([] { return g_held.load(); }));
    EXPECT_EQ(reply_error(R"({"action":"stop"})" "\n"),
              R"({"id":null,"ok":false,"error":"another start or stop is in progress")");
    waiting.join();
    EXPECT_EQ(first, R"({"id":null,"ok":false,"error":"start preparation did not finish in time")");
    EXPECT_EQ(reply_error(R"({"action":"start","config":"{}"})" "\n"),
              R"({"id":null,"ok":false,"error":"another start or stop is in progress")");
    EXPECT_EQ(core_snapshot(*core).status, "stopped");
    EXPECT_EQ(reply_error(R"({"action":"status"})" "\n"), R"({"id":null,"ok":true,"error":null)");

    g_release = true;
    detail::before_prepare_for_testing(nullptr);
    Result<> started = fail("not tried");
    ASSERT_TRUE(testing::wait_for([&] {
        started = start_action(start_request("{}").config, *core);
        return started || started.error().message() != "another start or stop is in progress";
    }));
    EXPECT_TRUE(started) << started.error().message();
    EXPECT_TRUE(stop_action(*core));

    // The helper's own preparation as it starts keeps starts out the same way.
    ASSERT_TRUE(begin_preparation());
    const Result<> beside = start_action(start_request("{}").config, *core);
    end_preparation();
    EXPECT_EQ(beside ? "started" : beside.error().message(), ACTION_BUSY_ERROR);
}
#endif

}  // namespace
}  // namespace velmor
