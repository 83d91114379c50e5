// The host's order: what runs before the pipe's name is ours, what after.

#include "service/host_sequence.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace velmor {
namespace {

// Records each call; the server claims the name (claimed(waited)) inside
// start_server, or later, or never, as the row says.
struct RecordingSteps final : HostSteps {
    enum class Claim { at_start, after_stop, never, fails };
    Claim claim = Claim::at_start;
    bool waited = false;
    std::vector<std::string> steps;
    std::optional<PipeServerHost> server;

    Result<std::filesystem::path> exe_folder() override {
        steps.push_back("exe folder");
        return std::filesystem::path("/program");
    }
    Result<> start_server(PipeServerHost host) override {
        steps.push_back("start server");
        server = std::move(host);
        if (claim == Claim::at_start) {
            EXPECT_TRUE(server->claimed(waited));
        }
        if (claim == Claim::fails) server->ended(PipeServerEnd::failed, Error("pipe not served"));
        return {};
    }
    void open_log(const std::filesystem::path& folder) override { steps.push_back("open log in " + folder.string()); }
    void prepare_data_folder() override { steps.push_back("prepare data folder"); }
    void log(const std::string& line) override { steps.push_back("log " + line); }
    void report(EventId id, const std::string& line) override {
        steps.push_back("report " + std::to_string(static_cast<int>(id)) + ": " + line.substr(0, line.find(':')));
    }
    std::uint32_t process_id() override { return 42; }
    void check_program_folder(const std::filesystem::path&) override { steps.push_back("check program folder"); }
    void stop_core() override { steps.push_back("stop core"); }
    void log_pending_summary() override { steps.push_back("summary"); }
};

TEST(HostSequence, NothingOfTheHelpersOwnBeforeThePipesNameIsHeld) {
    using Claim = RecordingSteps::Claim;
    const std::vector<std::string> before = {"exe folder", "attach", "start server"};
    const std::vector<std::string> claimed = {"open log in /program", "held", "prepare data folder",
                                              "log running in console mode", "report 1: console mode",
                                              "check program folder"};
    const std::vector<std::string> after = {"wait for stop", "report 2: console mode ending", "stop core",
                                            "summary"};
    const auto join = [&before](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.begin(), before.begin(), before.end());
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<std::string> unheld = {"wait for stop", "log console mode ending: Ctrl+C", "stop core",
                                             "summary"};
    std::vector<std::string> after_wait = claimed;
    after_wait.insert(after_wait.end() - 1, "report 14: pipe name free again");
    const struct {
        const char* label;
        Claim claim;
        bool waited;
        std::vector<std::string> expected;
        bool give_up_when_taken = true;
    } rows[] = {
        {"the name held at once", Claim::at_start, false, join(claimed, after)},
        {"the name held after a wait", Claim::at_start, true, join(after_wait, after)},
        // A helper that never holds the name: its line reaches standard
        // error only, and there is no stopped event without a started one.
        {"the name never held", Claim::never, false, join({}, unheld)},
        {"the name held after the host ended", Claim::after_stop, false, join({}, unheld)},
        // A service has nobody at its standard error: a failure before the
        // name is held goes to its log.
        {"a service failing first", Claim::fails, false,
         join({"open log in /program", "log ERROR: pipe not served"}, unheld), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        RecordingSteps steps;
        steps.claim = row.claim;
        steps.waited = row.waited;
        HostHooks hooks;
        hooks.name = "console mode";
        hooks.first_line = "running in console mode";
        hooks.give_up_when_taken = row.give_up_when_taken;
        hooks.attach = [&]() -> Result<> { return steps.steps.push_back("attach"), Result<>(); };
        hooks.held = [&] { steps.steps.push_back("held"); };
        hooks.wait_for_stop = [&] {
            steps.steps.push_back("wait for stop");
            return std::string("console mode ending: Ctrl+C");
        };
        auto stop = std::make_shared<std::atomic<bool>>(false);
        EXPECT_TRUE(run_host_sequence(steps, hooks, stop));
        // A server that claims the name once the host has ended finds
        // nothing to do and is told to stop.
        if (row.claim == Claim::after_stop) {
            EXPECT_FALSE(steps.server->claimed(false));
        }
        EXPECT_EQ(steps.steps, row.expected);
        EXPECT_EQ(steps.server->stop_requested, stop);
    }
}

}  // namespace
}  // namespace velmor
