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
#include "support/test_actions.hpp"

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
    testing::TestActions actions;
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
        const Result<> outcome = start_action(actions.context(), start_request(c.config).config);
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error().message(), c.error);
        EXPECT_EQ(core_snapshot(actions.core()).status, "stopped");
    }
}

#ifdef _WIN32
TEST(StartAction, MissingCoreLibraryLeavesTheRecordAlone) {
    // The unit tests' folder holds no clash_ffi.dll.
    testing::TestActions actions;
    const Result<> outcome = start_action(actions.context(), start_request("{}").config);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), "load core library");
    ASSERT_NE(outcome.error().cause(), nullptr);
    EXPECT_TRUE(outcome.error().cause()->message().starts_with("core library not found: "));
    EXPECT_NE(outcome.error().one_line().find(": GetFileAttributesW failed: 2: "), std::string::npos)
        << outcome.error().one_line();
    EXPECT_EQ(core_snapshot(actions.core()).status, "stopped");
    EXPECT_FALSE(core_snapshot(actions.core()).error);
}
#else
using testing::Event;

// Natively the fake core sits next to the test program; ProgramData points
// into the test's folder.
TEST(StartAction, StartsAndStopsACoreInTheServiceDataFolder) {
    testing::TempDir dir;
    ASSERT_EQ(setenv("ProgramData", dir.path().c_str(), 1), 0);
    testing::TestActions actions;
    CoreShared& core = actions.core();

    const std::string config = std::string(R"({"mode":"run"})") + std::string(MAX_CONFIG_BYTES - 14, ' ');
    ASSERT_EQ(config.size(), MAX_CONFIG_BYTES);
    // A data folder that cannot be made safe: a refusal for safety.
    std::ofstream(dir.path() / "file") << "x";
    ASSERT_EQ(setenv("ProgramData", (dir.path() / "file").c_str(), 1), 0);
    ASSERT_FALSE(actions.start("tester (process 7)"));
    std::vector<Event> events = actions.take_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(std::get<0>(events[0]), EventId::start_refused);
    EXPECT_EQ(std::get<1>(events[0]), EventKind::warning);
    EXPECT_TRUE(std::get<2>(events[0]).starts_with("start by tester (process 7) refused: data folder is not safe: "));
    ASSERT_EQ(setenv("ProgramData", dir.path().c_str(), 1), 0);
    ASSERT_TRUE(run_attributed_action(actions.context(), "start", config, "tester (process 7)"));
    EXPECT_EQ(core_snapshot(core).status, "running");
    const std::filesystem::path data = dir.path() / "Velmor" / "service";
    EXPECT_TRUE(std::filesystem::is_directory(data / "log"));
    ASSERT_TRUE(testing::fake_core_recorded(data));
    EXPECT_EQ(testing::read_file(data / "fake-core-config.txt").size(), MAX_CONFIG_BYTES);

    const Result<> again = actions.start("tester (process 7)");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message(), "core already running");

    ASSERT_TRUE(run_attributed_action(actions.context(), "stop", std::nullopt, "tester (process 7)"));
    EXPECT_EQ(core_snapshot(core).status, "stopped");
    ASSERT_TRUE(run_attributed_action(actions.context(), "stop", std::nullopt, "tester (process 7)"))
        << "a stop without a core succeeds";
    // Only the start and the stop that changed the core are events.
    EXPECT_EQ(actions.take_events(), (std::vector<Event>{
                            {EventId::core_started, EventKind::information, "start by tester (process 7): core running"},
                            {EventId::core_stopped, EventKind::information, "stop by tester (process 7): core stopped"}}));
}

// A preparation stuck on a file costs its own thread only: the start that
// waits for it gives up after its bound, the next start or stop gives up
// waiting for the one under way, and once the file is let go a start runs.
TEST(StartAction, AStuckPreparationHoldsNobodyBeyondTheBounds) {
    testing::TempDir dir;
    ASSERT_EQ(setenv("ProgramData", dir.path().c_str(), 1), 0);
    testing::TestActions actions(CoreTimings{50ms, 20s, 1s, 200ms});
    CoreShared& core = actions.core();
    // Held as a file held open by someone else would hold it.
    actions.hold();
    const auto reply_error = [&](std::string_view request) {
        const Result<std::string> reply = handle_request(request, actions.context());
        return reply ? reply->substr(0, reply->find(",\"data\"")) : reply.error().message();
    };

    std::string first;
    std::thread waiting([&] { first = reply_error(R"({"action":"start","config":"{}"})" "\n"); });
    ASSERT_TRUE(testing::wait_for([&] { return actions.held(); }));
    EXPECT_EQ(reply_error(R"({"action":"stop"})" "\n"),
              R"({"id":null,"ok":false,"error":"another start or stop is in progress")");
    waiting.join();
    EXPECT_EQ(first, R"({"id":null,"ok":false,"error":"start preparation did not finish in time")");
    EXPECT_EQ(reply_error(R"({"action":"start","config":"{}"})" "\n"),
              R"({"id":null,"ok":false,"error":"another start or stop is in progress")");
    EXPECT_EQ(core_snapshot(core).status, "stopped");
    EXPECT_EQ(reply_error(R"({"action":"status"})" "\n"), R"({"id":null,"ok":true,"error":null)");

    actions.release();
    Result<> started = fail("not tried");
    ASSERT_TRUE(testing::wait_for([&] {
        started = start_action(actions.context(), start_request("{}").config);
        return started || started.error().message() != "another start or stop is in progress";
    }));
    EXPECT_TRUE(started) << started.error().message();
    EXPECT_TRUE(stop_action(actions.context()));

    // The helper's own preparation as it starts keeps starts out the same way.
    ASSERT_TRUE(actions.context().begin_preparation());
    const Result<> beside = start_action(actions.context(), start_request("{}").config);
    actions.context().end_preparation();
    EXPECT_EQ(beside ? "started" : beside.error().message(), ACTION_BUSY_ERROR);
}
#endif

}  // namespace
}  // namespace velmor
