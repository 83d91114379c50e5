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
#include "env/log.hpp"
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
        EXPECT_EQ(actions.take_steps(), std::vector<std::string>()) << "a refused start prepares nothing";
    }
}

// Each step of a start's preparation failing in turn: the steps after it do
// not run, no core starts, and only the refusals for safety (all but the
// load's) are start_refused events. The next start prepares again: the
// preparation's mark was let go.
TEST(StartAction, EachPreparationStepFailing) {
    const std::vector<std::string> all = {"data folder", "core library trust", "wintun", "core library"};
    struct Case {
        std::ptrdiff_t failing;  // index in `all`
        bool for_safety;
    };
    for (const Case& c : {Case{0, true}, Case{1, true}, Case{2, true}, Case{3, false}}) {
        const std::string& step = all[static_cast<std::size_t>(c.failing)];
        SCOPED_TRACE(step);
        testing::TestActions actions(CoreTimings{50ms, 5s}, testing::TestActions::Steps::skipped);
        actions.fail_step(step, "step failed");
        const std::string error = c.for_safety ? "step failed" : "load core library: step failed";
        for (int attempt = 0; attempt < 2; ++attempt) {
            const Result<> outcome = actions.start("tester (process 3)");
            ASSERT_FALSE(outcome);
            EXPECT_EQ(outcome.error().one_line(), error);
            EXPECT_EQ(actions.take_steps(), std::vector<std::string>(all.begin(), all.begin() + c.failing + 1));
        }
        std::vector<testing::Event> events;
        if (c.for_safety)
            events.assign(2, {EventId::start_refused, EventKind::warning, "start by tester (process 3) refused: " + error});
        EXPECT_EQ(actions.take_events(), events);
        EXPECT_EQ(core_snapshot(actions.core()).status, "stopped");
        EXPECT_FALSE(core_snapshot(actions.core()).error);
    }

    // Those events pass a limit of their own, which the policy's refusals
    // share: a client repeating a refused start cannot flood the Event Log.
    testing::TestActions limited(CoreTimings{50ms, 5s}, testing::TestActions::Steps::skipped,
                                 LogRateLimit(2, std::chrono::hours(1)));
    limited.fail_step("wintun", "step failed");
    limited.context().report_start_refused("refused by the policy");
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(limited.start());
    EXPECT_EQ(limited.take_events().size(), 2u);
}

// handle_request's start, stop, status and ping, with and without a core,
// through a gate that refuses some of them and for a client whose account
// cannot be read: the reply, the core's state after it, what the gate was
// asked, the preparation steps run and the events.
TEST(ActionWiring, RequestsWithAndWithoutACore) {
#ifndef _WIN32
    testing::TempDir dir;
    ASSERT_EQ(setenv("ProgramData", dir.path().c_str(), 1), 0);
#endif
    enum class Core { none, running, failed };
    const std::string ok = R"("ok":true,"error":null,"data":null})";
    const std::string pong = R"("ok":true,"error":null,"data":{"pong":true}})";
    const auto status = [](bool running) {
        return std::string(R"("ok":true,"error":null,"data":{"error":null,"running":)") +
               (running ? R"(true,"status":"running"}})" : R"(false,"status":"stopped"}})");
    };
    const auto refused = [](std::string error) { return R"("ok":false,"error":")" + error + R"(","data":null})"; };
    const std::string gated = refused("refused by the gate"), unnamed = refused("client cannot be identified");
    const EventId started = EventId::core_started, stopped = EventId::core_stopped;
    struct Case {
        const char* name;
        Core core;
        const char* gate_refuses;  // action words
        bool identified;
        const char* action;
        std::string reply;  // after {"id":"w",
        std::string_view status_after;
        std::vector<EventId> events;
        const char* gate_asked;
        std::size_t steps;
    };
    const Case cases[] = {
        {"ping", Core::none, "", true, "ping", pong, "stopped", {}, "", 0},
        {"status", Core::none, "", true, "status", status(false), "stopped", {}, "", 0},
        {"start", Core::none, "", true, "start", ok, "running", {started}, "start", 4},
        {"stop", Core::none, "", true, "stop", ok, "stopped", {}, "stop", 0},
        {"ping, a core", Core::running, "", true, "ping", pong, "running", {}, "", 0},
        {"status, a core", Core::running, "", true, "status", status(true), "running", {}, "", 0},
        {"start, a core", Core::running, "", true, "start", refused("core already running"), "running", {}, "start", 0},
        {"stop, a core", Core::running, "", true, "stop", ok, "stopped", {stopped}, "stop", 0},
        {"stop, a failed core", Core::failed, "", true, "stop", ok, "stopped", {}, "stop", 0},
        {"start refused", Core::none, "start", true, "start", gated, "stopped", {}, "start", 0},
        {"start refused, stop", Core::running, "start", true, "stop", ok, "stopped", {stopped}, "stop", 0},
        {"stop refused", Core::running, "stop", true, "stop", gated, "running", {}, "stop", 0},
        {"stop refused, start", Core::none, "stop", true, "start", ok, "running", {started}, "start", 4},
        {"all refused, ping", Core::running, "start stop ping status", true, "ping", pong, "running", {}, "", 0},
        {"all refused, status", Core::running, "start stop ping status", true, "status", status(true), "running", {}, "", 0},
        {"unidentified, start", Core::none, "", false, "start", unnamed, "stopped", {EventId::start_refused}, "start", 0},
        {"unidentified, stop", Core::running, "", false, "stop", unnamed, "running", {}, "stop", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
#ifdef _WIN32
        // No core library beside the unit tests.
        if (c.core == Core::running || c.status_after == "running") continue;
#endif
        testing::TestActions actions;
        if (c.core == Core::running) {
            ASSERT_TRUE(actions.start());
        }
        if (c.core == Core::failed) {
            std::lock_guard lock(actions.core().mutex);
            actions.core().state = CoreState::Failed;
            actions.core().last_error = "core start failed";
        }
        (void)actions.take_steps();
        (void)actions.take_events();
        std::string asked;
        ControlClient client;
        client.gate = [&](Action action) -> Result<> {
            const std::string word(action_word(action));
            asked += (asked.empty() ? "" : " ") + word;
            if ((" " + std::string(c.gate_refuses) + " ").find(" " + word + " ") != std::string::npos)
                return fail("refused by the gate");
            return {};
        };
        client.identity = [&] {
            if (c.identified) return ClientIdentity{"w (process 1)", {}};
            return ClientIdentity{"an unknown user (process 1)", Error("OpenThreadToken failed: 1346")};
        };
        testing::LogCapture log;
        const std::string request = R"({"id":"w","action":")" + std::string(c.action) + R"(","config":"{}"})" "\n";
        EXPECT_EQ(handle_request(request, actions.context(), client).value_or("no reply"), R"({"id":"w",)" + c.reply + "\n");
        EXPECT_EQ(core_snapshot(actions.core()).status, c.status_after);
        EXPECT_EQ(asked, c.gate_asked);
        EXPECT_EQ(actions.take_steps().size(), c.steps);
        std::vector<EventId> events;
        for (const testing::Event& event : actions.take_events()) {
            events.push_back(std::get<0>(event));
            // The event carries the log line, which names the client and why.
            if (!c.identified)
                EXPECT_EQ(std::get<2>(event), "start by an unknown user (process 1) refused: client cannot be "
                                              "identified: OpenThreadToken failed: 1346");
            else
                EXPECT_TRUE(log.contains(std::get<2>(event))) << std::get<2>(event);
        }
        EXPECT_EQ(events, c.events);
        (void)stop_core(actions.core());
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
    // With the log's budget for client lines used up, a start's and a stop's
    // change lines are still written; a refusal, a client line, is not. (It
    // uses up this process's budget: ctest runs each case on its own.)
    testing::LogCapture log;
    const auto use_up_client_lines = [] {
        for (std::size_t i = 0; i <= CLIENT_LOG_BURST; ++i) log_client_message("a client line");
    };
    use_up_client_lines();
    ASSERT_TRUE(run_attributed_action(actions.context(), Action::start, config, "tester (process 7)"));
    EXPECT_EQ(core_snapshot(core).status, "running");
    const std::filesystem::path data = dir.path() / "Velmor" / "service";
    EXPECT_TRUE(std::filesystem::is_directory(data / "log"));
    ASSERT_TRUE(testing::fake_core_recorded(data));
    EXPECT_EQ(testing::read_file(data / "fake-core-config.txt").size(), MAX_CONFIG_BYTES);

    use_up_client_lines();
    const Result<> again = actions.start("tester (process 7)");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message(), "core already running");
    EXPECT_FALSE(log.contains("start by tester (process 7) refused: core already running"));

    ASSERT_TRUE(run_attributed_action(actions.context(), Action::stop, std::nullopt, "tester (process 7)"));
    EXPECT_EQ(core_snapshot(core).status, "stopped");
    ASSERT_TRUE(run_attributed_action(actions.context(), Action::stop, std::nullopt, "tester (process 7)"))
        << "a stop without a core succeeds";
    // Only the start and the stop that changed the core are events.
    EXPECT_EQ(actions.take_events(), (std::vector<Event>{
                            {EventId::core_started, EventKind::information, "start by tester (process 7): core running"},
                            {EventId::core_stopped, EventKind::information, "stop by tester (process 7): core stopped"}}));
    EXPECT_TRUE(log.contains("start by tester (process 7): core running"));
    EXPECT_TRUE(log.contains("stop by tester (process 7): core stopped"));
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
