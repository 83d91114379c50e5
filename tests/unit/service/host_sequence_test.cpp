// The host's order: what runs before the pipe's name is ours, what after.

#include "service/host_sequence.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace velmor {
namespace {

// Records each call, the hooks' too; the server claims the name
// (claimed(waited)) inside start_server, or later, or never, as the row says.
struct RecordingSteps final : HostSteps {
    enum class Claim { at_start, after_stop, never, fails };
    Claim claim = Claim::at_start;
    bool waited = false;
    std::vector<std::string> steps;
    std::optional<PipeServerHost> server;

    void note(std::string step) { steps.push_back(std::move(step)); }
    Result<std::filesystem::path> exe_folder() override { return note("exe folder"), "/program"; }
    Result<> start_server(PipeServerHost host) override {
        note("start server");
        server = std::move(host);
        EXPECT_TRUE(claim != Claim::at_start || server->claimed(waited));
        if (claim == Claim::fails) server->ended(PipeServerEnd::failed, Error("pipe not served"));
        return {};
    }
    void open_log(const std::filesystem::path& folder) override { note("open log in " + folder.string()); }
    void prepare_data_folder() override { note("prepare data folder"); }
    void log(const std::string& line) override { note("log " + line); }
    void report(EventId id, const std::string& line) override {
        note("report " + std::to_string(static_cast<int>(id)) + ": " + line.substr(0, line.find(':')));
    }
    std::uint32_t process_id() override { return 42; }
    void check_program_folder(const std::filesystem::path&) override { note("check program folder"); }
    void stop_core() override { note("stop core"); }
    void log_pending_summary() override { note("summary"); }

    HostHooks hooks(bool give_up_when_taken) {
        HostHooks hooks;
        hooks.name = "console mode";
        hooks.first_line = "running in console mode";
        hooks.give_up_when_taken = give_up_when_taken;
        hooks.attach = [this]() -> Result<> { return note("attach"), Result<>(); };
        hooks.held = [this] { note("held"); };
        hooks.wait_for_stop = [this] { return note("wait for stop"), std::string("console mode ending: Ctrl+C"); };
        return hooks;
    }
};

// The steps of a run: `held` between the host's start and its end.
std::vector<std::string> run_with(std::vector<std::string> held, const std::vector<std::string>& end) {
    held.insert(held.begin(), {"exe folder", "attach", "start server"});
    held.insert(held.end(), end.begin(), end.end());
    return held;
}

TEST(HostSequence, NothingOfTheHelpersOwnBeforeThePipesNameIsHeld) {
    using Claim = RecordingSteps::Claim;
    const std::vector<std::string> claimed = {"open log in /program", "held", "prepare data folder",
                                              "log running in console mode", "report 1: console mode",
                                              "check program folder"};
    const std::vector<std::string> after = {"wait for stop", "report 2: console mode ending", "stop core",
                                            "summary"};
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
        {"the name held at once", Claim::at_start, false, run_with(claimed, after)},
        {"the name held after a wait", Claim::at_start, true, run_with(after_wait, after)},
        // A helper that never holds the name: its line reaches standard
        // error only, and there is no stopped event without a started one.
        {"the name never held", Claim::never, false, run_with({}, unheld)},
        {"the name held after the host ended", Claim::after_stop, false, run_with({}, unheld)},
        // A service has nobody at its standard error: a failure before the
        // name is held goes to its log.
        {"a service failing first", Claim::fails, false,
         run_with({"open log in /program", "log ERROR: pipe not served"}, unheld), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        RecordingSteps steps;
        steps.claim = row.claim;
        steps.waited = row.waited;
        auto stop = std::make_shared<std::atomic<bool>>(false);
        const HostHooks hooks = steps.hooks(row.give_up_when_taken);
        EXPECT_TRUE(run_host_sequence(steps, hooks, stop));
        // A server that claims the name once the host has ended finds
        // nothing to do and is told to stop.
        EXPECT_TRUE(row.claim != Claim::after_stop || !steps.server->claimed(false));
        EXPECT_EQ(steps.steps, row.expected);
        EXPECT_EQ(steps.server->stop_requested, stop);
    }
}

}  // namespace
}  // namespace velmor
