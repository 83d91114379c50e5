// The controller and the core thread with the fake core, which the native
// build loads from the test program's own folder. Timings are shortened;
// every wait is for a condition with a generous bound. A core that must
// outlive a stop or a start check is "held" and ended by the test, never one
// that ends after a fixed time.

#include "core/core_controller.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include "base/path.hpp"
#include "core/core_library.hpp"
#include "core/core_thread.hpp"
#include "core/machine_lock.hpp"
#include "core_test_support.hpp"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::TempDir;
using testing::wait_for;

int fake_probe(const char* name) {
    Result<CoreLibrary> library = load_core_library();
    if (!library) return -1;
    Result<detail::GenericFn> probe = detail::find_core_symbol(*library, name);
    if (!probe) return -1;
    return reinterpret_cast<int (*)()>(*probe)();
}

void fake_call(const char* name) {
    Result<CoreLibrary> library = load_core_library();
    ASSERT_TRUE(library);
    Result<detail::GenericFn> call = detail::find_core_symbol(*library, name);
    ASSERT_TRUE(call);
    (*call)();
}
void fake_release_shutdown() { fake_call("fake_core_release_shutdown"); }
void fake_end_held() { fake_call("fake_core_end_held"); }

class CoreControllerTest : public ::testing::Test {
protected:
    void make_core(CoreTimings timings) {
        core = std::make_shared<CoreShared>(timings);
        core->machine_lock_name = lock_name;
    }

    void SetUp() override {
        Result<CoreLibrary> library = load_core_library();
        ASSERT_TRUE(library) << library.error().full_description();
        make_core(CoreTimings{50ms, 20s});
    }

    // No core thread of this test may outlive it.
    void TearDown() override {
        fake_release_shutdown();
        std::vector<std::shared_ptr<CoreRun>> runs;
        {
            std::lock_guard lock(core->mutex);
            runs = core->live_runs;
        }
        for (const auto& run : runs) {
            EXPECT_TRUE(wait_for([&] {
                if (run->ended()) return true;
                shutdown_core();
                fake_end_held();
                return false;
            })) << "run " << run->id << " still alive";
        }
        // Nor a stop's shutdown request still inside the fake core, which
        // the end of the process destroys.
        EXPECT_TRUE(wait_for([&] {
            std::lock_guard lock(core->mutex);
            return core->shutdowns_in_flight == 0;
        }));
    }

    Result<> start(const std::string& config) {
        return start_core(*core, config, dir.path(), dir.path() / "log" / "clash.log");
    }

    CoreState state() {
        std::lock_guard lock(core->mutex);
        return core->state;
    }
    std::optional<std::string> last_error() {
        std::lock_guard lock(core->mutex);
        return core->last_error;
    }
    bool live_run_running() {
        std::lock_guard lock(core->mutex);
        for (const auto& run : core->live_runs)
            if (!run->ended()) return true;
        return false;
    }

    // What start_core does before it creates the thread: the state check and
    // the new run, as the record holds them in that window.
    std::shared_ptr<CoreRun> accept_start_by_hand() {
        std::lock_guard lock(core->mutex);
        core->state = CoreState::Starting;
        core->last_error.reset();
        auto run = std::make_shared<CoreRun>(++core->current_run);
        core->live_runs.push_back(run);
        return run;
    }
    // A start whose core thread fails: the start reports it when the thread
    // got there within the start check, which under load it may not; either
    // way the run ends with `message` in the record.
    void expect_run_fails(const std::string& config, const std::string& message) {
        const Result<> outcome = start(config);
        if (!outcome) {
            EXPECT_EQ(outcome.error().message(), message);
        }
        ASSERT_TRUE(wait_for([&] { return !live_run_running(); }));
        EXPECT_EQ(state(), CoreState::Failed);
        EXPECT_EQ(last_error(), message);
    }

    // Starts a held core and waits until it is inside the core library.
    void start_held() {
        const int running = fake_probe("fake_core_running");
        ASSERT_TRUE(start(R"({"mode":"held"})"));
        ASSERT_TRUE(wait_for([&] { return fake_probe("fake_core_running") == running + 1; }));
    }

    // A core thread for a run accepted by hand, let go at once.
    std::thread core_thread_for(std::shared_ptr<CoreRun> run, const std::string& config) {
        run->let_go();
        return std::thread(run_core_thread<SystemSync, SystemCoreCalls>,
                           CoreThreadArgs{core, std::move(run), dir.path(), dir.path() / "log" / "clash.log", config});
    }

    std::string lock_name = "Velmor.Test.Core." + testing::unique_suffix();
    TempDir dir;
    std::shared_ptr<CoreShared> core;
    LogCapture log;
};

TEST_F(CoreControllerTest, StartRunsTheCoreAndStopEndsIt) {
    const std::string config = R"({"mode":"run","padding":"  "})";
    ASSERT_TRUE(start(config));
    EXPECT_EQ(state(), CoreState::Running);
    EXPECT_FALSE(last_error());
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "log"));

    ASSERT_TRUE(testing::fake_core_recorded(dir.path()));
    EXPECT_EQ(testing::read_file(dir.path() / "fake-core-config.txt"), config);
    const std::string args = testing::read_file(dir.path() / "fake-core-args.txt");
    EXPECT_NE(args.find("log=" + path_to_utf8(dir.path() / "log" / "clash.log") + "\n"), std::string::npos) << args;
    EXPECT_NE(args.find("cwd=" + path_to_utf8(dir.path()) + "\n"), std::string::npos) << args;
    EXPECT_NE(args.find("flag=1\n"), std::string::npos) << args;

    ASSERT_TRUE(stop_core(*core));
    EXPECT_EQ(state(), CoreState::Stopped);
    EXPECT_FALSE(last_error());
    EXPECT_FALSE(live_run_running());

    // The core thread and the start check run side by side: either of the
    // first two lines may come first.
    std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    std::sort(lines.begin(), lines.begin() + 2);
    EXPECT_EQ(lines, (std::vector<std::string>{"core running", "core thread: clash_start",
                                               "core thread: exited (stop requested)", "core stopped"}));
}

TEST_F(CoreControllerTest, StartIsRefusedWhileACoreIsUnderWay) {
    {
        SCOPED_TRACE("starting");
        const std::shared_ptr<CoreRun> first = accept_start_by_hand();
        const Result<> second = start(R"({"mode":"run"})");
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error().message(), "core already starting");
        EXPECT_EQ(state(), CoreState::Starting);
        std::lock_guard lock(core->mutex);
        core->state = CoreState::Stopped;
        first->mark_ended();
    }
    ASSERT_TRUE(start(R"({"mode":"run"})"));
    {
        SCOPED_TRACE("running");
        const Result<> second = start(R"({"mode":"run"})");
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error().message(), "core already running");
        EXPECT_EQ(state(), CoreState::Running);
        EXPECT_FALSE(last_error());
    }
    EXPECT_EQ(fake_probe("fake_core_running"), 1);
    ASSERT_TRUE(stop_core(*core));
}

TEST_F(CoreControllerTest, StartDuringAStopIsRefused) {
    start_held();
    std::future<Result<>> stop = std::async(std::launch::async, [&] { return stop_core(*core); });
    ASSERT_TRUE(wait_for([&] { return state() == CoreState::Stopping; }));
    const Result<> refused = start(R"({"mode":"run"})");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "core is stopping");
    fake_end_held();
    EXPECT_TRUE(stop.get());
    EXPECT_EQ(state(), CoreState::Stopped);
}

TEST_F(CoreControllerTest, StopWithoutACoreChangesOnlyTheState) {
    const int shutdowns = fake_probe("fake_core_shutdown_count");
    {
        SCOPED_TRACE("stopped");
        ASSERT_TRUE(stop_core(*core));
        EXPECT_EQ(state(), CoreState::Stopped);
    }
    {
        SCOPED_TRACE("failed: the old error stays");
        expect_run_fails(R"({"mode":"error","text":"no such proxy"})", "no such proxy");
        const int after_run = fake_probe("fake_core_shutdown_count");
        const std::size_t lines = log.lines().size();
        ASSERT_TRUE(stop_core(*core));
        const CoreSnapshot snap = core_snapshot(*core);
        EXPECT_EQ(snap.status, "stopped");
        EXPECT_EQ(snap.error, "no such proxy");
        EXPECT_EQ(fake_probe("fake_core_shutdown_count"), after_run);
        EXPECT_EQ(log.lines().size(), lines);
    }
    EXPECT_EQ(fake_probe("fake_core_shutdown_count"), shutdowns);
}

TEST_F(CoreControllerTest, CoreThatFailsWithinTheStartCheckFailsTheStart) {
    struct Case {
        const char* name;
        const char* config;
        const char* error;
        const char* log_line;
    };
    const std::vector<Case> cases = {
        {"ends at once", R"({"mode":"exit"})", "core exited unexpectedly", "core thread: exited unexpectedly"},
        {"error text", R"({"mode":"error","text":"bad rule"})", "bad rule", "core thread: start failed: bad rule"},
        {"error text with line breaks", "{\"mode\":\"error\",\"text\":\"bad\r\n[x] rule\"}", "bad\r\n[x] rule",
         "core thread: start failed: bad\\r\\n[x] rule"},
        {"null", R"({"mode":"null"})", "core panicked (null return from clash_start)",
         "core thread: start failed: core panicked (null return from clash_start)"},
    };
    // The start check is a fixed delay: long enough for a loaded machine.
    make_core(CoreTimings{1s, 20s});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Result<> outcome = start(c.config);
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error().message(), c.error);
        EXPECT_EQ(state(), CoreState::Failed);
        EXPECT_EQ(last_error(), c.error);
        EXPECT_TRUE(log.contains(c.log_line));
    }
}

TEST_F(CoreControllerTest, CoreThatEndsAfterTheStartCheckShowsInTheSnapshot) {
    struct Case {
        const char* name;
        const char* config;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"clean end", R"({"mode":"held"})", "core exited unexpectedly"},
        {"error", R"({"mode":"held","text":"tun gone"})", "tun gone"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(start(c.config));
        ASSERT_TRUE(wait_for([&] { return fake_probe("fake_core_running") == 1; }));
        EXPECT_EQ(core_snapshot(*core).status, "running");
        fake_end_held();
        // The run lets the machine lock go only after its outcome is
        // recorded: the next case starts once it has ended.
        ASSERT_TRUE(wait_for([&] { return state() == CoreState::Failed && !live_run_running(); }));
        EXPECT_EQ(core_snapshot(*core).error, c.error);
    }
}

TEST_F(CoreControllerTest, MachineLockHeldElsewhereRefusesTheRun) {
    Result<MachineLock> other = acquire_machine_lock(lock_name);
    ASSERT_TRUE(other);
    const int starts = fake_probe("fake_core_start_count");
    expect_run_fails(R"({"mode":"run"})", "another Velmor core is already active on this machine");
    EXPECT_EQ(fake_probe("fake_core_start_count"), starts);
    // The log names who made the lock: its file's owner here.
    EXPECT_TRUE(log.contains("core thread: machine lock busy \u2014 refusing double-start: another Velmor core is already "
                             "active on this machine: created by uid " + std::to_string(getuid())));
}

TEST_F(CoreControllerTest, MachineLockIsHeldUntilTheOutcomeIsRecorded) {
    start_held();
    {
        // The core ends while the record is locked: its thread cannot record
        // the outcome yet, and must still hold the machine lock.
        std::lock_guard lock(core->mutex);
        fake_end_held();
        ASSERT_TRUE(wait_for([] { return fake_probe("fake_core_running") == 0; }));
        for (int i = 0; i < 20; ++i) {
            ASSERT_FALSE(acquire_machine_lock(lock_name)) << "released before the outcome was recorded";
            std::this_thread::sleep_for(5ms);
        }
    }
    ASSERT_TRUE(wait_for([&] { return !live_run_running(); }));
    EXPECT_EQ(last_error(), "core exited unexpectedly");
    EXPECT_TRUE(acquire_machine_lock(lock_name));
}

TEST_F(CoreControllerTest, StopTimeoutThenStartRefusedByTheMachineLock) {
    make_core(CoreTimings{50ms, 300ms});
    start_held();
    const Result<> stopped = stop_core(*core);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().message(), "core stop timeout");
    EXPECT_EQ(state(), CoreState::Failed);
    EXPECT_EQ(last_error(), "core did not stop within timeout");
    EXPECT_TRUE(log.contains("core stop timeout"));

    // Past its deadline the stop asks no more (a request already under way
    // may still land).
    const int asked = fake_probe("fake_core_shutdown_count");
    std::this_thread::sleep_for(2 * SHUTDOWN_REPEAT + 200ms);
    EXPECT_LE(fake_probe("fake_core_shutdown_count"), asked + 1);

    // The old core still holds the machine lock.
    const Result<> again = start(R"({"mode":"run"})");
    if (!again) {
        EXPECT_EQ(again.error().message(), "another Velmor core is already active on this machine");
    }
    // The new run's thread is refused; the old one is still held.
    ASSERT_TRUE(wait_for([&] { return last_error() == "another Velmor core is already active on this machine"; }));

    // When the old core ends at last, the newer run's record is left alone.
    fake_end_held();
    ASSERT_TRUE(wait_for([&] { return !live_run_running(); }));
    EXPECT_EQ(last_error(), "another Velmor core is already active on this machine");
}

TEST_F(CoreControllerTest, CoreThatOutlivedItsStopDoesNotWriteOverANewerRun) {
    make_core(CoreTimings{50ms, 1s});
    start_held();
    std::shared_ptr<CoreRun> old_run;
    {
        std::lock_guard lock(core->mutex);
        old_run = core->live_runs.front();
    }
    ASSERT_FALSE(stop_core(*core));

    // A new start is accepted while the old core still runs; the old thread
    // ends in that window and must not record its end over the new run.
    const std::shared_ptr<CoreRun> fresh = accept_start_by_hand();
    fake_end_held();
    ASSERT_TRUE(wait_for([&] { return old_run->ended(); }));
    EXPECT_EQ(state(), CoreState::Starting);
    EXPECT_FALSE(last_error());

    // The new run takes the released machine lock, and a later stop reaches
    // its core.
    {
        std::lock_guard lock(core->mutex);
        core->core_thread = CoreThreadHandle(core_thread_for(fresh, R"({"mode":"run"})"), fresh);
    }
    ASSERT_TRUE(wait_for([&] { return fake_probe("fake_core_running") == 1; }));
    {
        std::lock_guard lock(core->mutex);
        core->state = CoreState::Running;
    }
    ASSERT_TRUE(stop_core(*core));
    EXPECT_EQ(state(), CoreState::Stopped);
    EXPECT_TRUE(fresh->ended());
    EXPECT_EQ(fake_probe("fake_core_running"), 0);
}

TEST_F(CoreControllerTest, StopWaitsForACoreThatOutlivedAnEarlierStop) {
    // Each stop has this bound: the first runs out of it, the second sees
    // the core end within it.
    make_core(CoreTimings{50ms, 1s});
    start_held();
    ASSERT_FALSE(stop_core(*core));
    ASSERT_EQ(state(), CoreState::Failed);
    ASSERT_TRUE(live_run_running());

    const int shutdowns = fake_probe("fake_core_shutdown_count");
    const std::size_t lines = log.lines().size();
    std::future<Result<>> stop = std::async(std::launch::async, [&] { return stop_core(*core); });
    ASSERT_TRUE(wait_for([&] { return fake_probe("fake_core_shutdown_count") > shutdowns; }));
    fake_end_held();
    ASSERT_TRUE(stop.get());
    EXPECT_FALSE(live_run_running());
    EXPECT_EQ(state(), CoreState::Stopped);
    EXPECT_EQ(last_error(), "core did not stop within timeout") << "a stop leaves the error alone";
    EXPECT_GT(fake_probe("fake_core_shutdown_count"), shutdowns);
    const std::vector<std::string> all = log.lines();
    ASSERT_GT(all.size(), lines);
    EXPECT_EQ(all.back(), "core stopped");
}

TEST_F(CoreControllerTest, StopOfAnOutlivingCoreCanTimeOutAgain) {
    make_core(CoreTimings{50ms, 200ms});
    start_held();
    ASSERT_FALSE(stop_core(*core));
    const Result<> again = stop_core(*core);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message(), "core stop timeout");
    EXPECT_EQ(state(), CoreState::Failed);
    EXPECT_EQ(last_error(), "core did not stop within timeout");
}

TEST_F(CoreControllerTest, StopBetweenTheStateCheckAndTheStoredHandle) {
    const std::shared_ptr<CoreRun> run = accept_start_by_hand();
    const int starts = fake_probe("fake_core_start_count");

    // The stop finds no handle and a run that never entered the core: it
    // asks the library nothing, and waits for the run's thread, which honours
    // the stop once it is let go and starts no core.
    const int shutdowns = fake_probe("fake_core_shutdown_count");
    std::future<Result<>> stop = std::async(std::launch::async, [&] { return stop_core(*core); });
    ASSERT_TRUE(wait_for([&] { return state() == CoreState::Stopping; }));
    {
        std::lock_guard lock(core->mutex);
        core->core_thread = CoreThreadHandle(core_thread_for(run, R"({"mode":"run"})"), run);
    }
    ASSERT_TRUE(stop.get());
    EXPECT_EQ(fake_probe("fake_core_shutdown_count"), shutdowns);
    EXPECT_TRUE(log.contains("core stopped (no thread)"));
    ASSERT_TRUE(wait_for([&] { return run->ended(); }));
    EXPECT_EQ(fake_probe("fake_core_start_count"), starts);
    EXPECT_EQ(state(), CoreState::Stopped);
    EXPECT_FALSE(last_error());
}

TEST_F(CoreControllerTest, StopBeforeTheCoreThreadStartsTheCore) {
    const std::shared_ptr<CoreRun> run = accept_start_by_hand();
    const int starts = fake_probe("fake_core_start_count");
    {
        // A stop that has taken the thread's handle and now waits.
        std::lock_guard lock(core->mutex);
        core->state = CoreState::Stopping;
    }
    CoreThreadHandle thread(core_thread_for(run, R"({"mode":"run"})"), run);
    ASSERT_TRUE(wait_for([&] { return run->ended(); }));
    thread.thread.join();
    EXPECT_EQ(fake_probe("fake_core_start_count"), starts);
    // The stop that set Stopping writes Stopped once the thread has ended.
    EXPECT_EQ(state(), CoreState::Stopping);
    EXPECT_TRUE(log.contains("core thread: exited (stop requested)"));
    EXPECT_FALSE(log.contains("core thread: clash_start"));
}

TEST_F(CoreControllerTest, StopRacingAStartNeverLeavesACoreBehindAStoppedRecord) {
    // Stops land anywhere in a start: before it, in the window before the
    // handle is stored, while the core thread checks the state, or after.
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::future<Result<>> starting = std::async(std::launch::async, [&] { return start(R"({"mode":"run"})"); });
        std::this_thread::sleep_for(std::chrono::microseconds(round * 10));
        const Result<> stopped = stop_core(*core);
        EXPECT_TRUE(stopped) << stopped.error().message();
        (void)starting.get();
        if (state() == CoreState::Running) {
            // The start came after the stop: an ordinary run to stop.
            ASSERT_TRUE(stop_core(*core));
        }
        ASSERT_NE(state(), CoreState::Running);
        // No further stop: whatever the interleaving, the core must end.
        ASSERT_TRUE(wait_for([&] { return !live_run_running(); }));
        EXPECT_EQ(fake_probe("fake_core_running"), 0);
        ASSERT_TRUE(stop_core(*core));
    }
}

TEST_F(CoreControllerTest, TwoOverlappingStops) {
    // The second stop, like the first, replies only once the core has ended.
    start_held();
    std::future<Result<>> first = std::async(std::launch::async, [&] { return stop_core(*core); });
    ASSERT_TRUE(wait_for([&] { return state() == CoreState::Stopping; }));
    std::future<Result<>> second = std::async(std::launch::async, [&] { return stop_core(*core); });
    EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(state(), CoreState::Stopping);
    EXPECT_TRUE(live_run_running());
    fake_end_held();
    EXPECT_TRUE(second.get());
    EXPECT_TRUE(first.get());
    EXPECT_EQ(state(), CoreState::Stopped);
    EXPECT_FALSE(last_error());
    const std::vector<std::string> lines = log.lines();
    const auto at = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) - lines.begin(); };
    EXPECT_LT(at("core thread: exited (stop requested)"), at("core stopped (no thread)"));
    EXPECT_LT(at("core thread: exited (stop requested)"), at("core stopped"));
    EXPECT_LT(at("core stopped"), static_cast<long>(lines.size()));
}

TEST_F(CoreControllerTest, ShutdownThatBlocksDoesNotHoldUpTheStop) {
    make_core(CoreTimings{50ms, 300ms});
    ASSERT_TRUE(start(R"({"mode":"hang-shutdown"})"));
    const Result<> stopped = stop_core(*core);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().message(), "core stop timeout");
    // The stop came back while the library's shutdown call is still blocked.
    EXPECT_EQ(fake_probe("fake_core_running"), 1);
    EXPECT_GE(fake_probe("fake_core_shutdown_count"), 1);
    fake_release_shutdown();
    ASSERT_TRUE(wait_for([&] { return !live_run_running(); }));
}

TEST_F(CoreControllerTest, ShutdownIsAskedAgainWhileTheStopWaits) {
    // The core listens for shutdown only after a while, like a core that is
    // between the thread's state check and its own start.
    ASSERT_TRUE(start(R"({"mode":"late","ms":1200})"));
    const int shutdowns = fake_probe("fake_core_shutdown_count");
    ASSERT_TRUE(stop_core(*core));
    EXPECT_EQ(state(), CoreState::Stopped);
    EXPECT_GE(fake_probe("fake_core_shutdown_count") - shutdowns, 2);
}

TEST_F(CoreControllerTest, SnapshotAfterAStopThatFollowedAFailure) {
    expect_run_fails(R"({"mode":"error","text":"dns failed"})", "dns failed");
    ASSERT_TRUE(start(R"({"mode":"run"})"));
    EXPECT_FALSE(last_error()) << "a start clears the old error";
    ASSERT_TRUE(stop_core(*core));
}

}  // namespace
}  // namespace velmor
