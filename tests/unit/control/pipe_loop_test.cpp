#include "control/pipe_loop.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "support/test_actions.hpp"

namespace velmor {
namespace {

// What goes wrong besides the failures to make instances.
enum class Twist { none, open_fails, host_stops, stopped_waiting, threads_fail };

// The pipe as scripted (what each add_instances returns in turn, then
// success; the twist) and the host that serves with it, both telling
// `steps` what they hear.
struct ScriptedPipe final : PipeInstances {
    std::deque<PipeCreateFailure> adds;
    Twist twist = Twist::none;
    int pauses = 0;
    const std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::vector<std::string> steps;
    std::optional<PipeServerEnd> end;
    std::string error;

    std::optional<PipeCreateError> add_instances() override {
        if (adds.empty()) return std::nullopt;
        const PipeCreateFailure next = adds.front();
        adds.pop_front();
        return PipeCreateError{next, Error("CreateNamedPipeW failed: 231")};
    }
    std::size_t count() const override { return 8; }
    Result<> open_to_clients() override {
        return twist == Twist::open_fails ? fail("SetSecurityInfo failed: 5") : Result<>();
    }
    std::optional<std::uint32_t> holder() override { return 5; }
    Result<> start_serving(std::size_t index) override {
        return twist == Twist::threads_fail && index % 4 == 3 ? fail("failed to spawn thread") : Result<>();
    }
    void serve(std::size_t index) override { steps.push_back("serve " + std::to_string(index)); }
    void pause() override { if (twist == Twist::stopped_waiting && ++pauses == 3) stop->store(true); }

    PipeServerHost host(bool give_up) {
        const auto note = [this](const char* step) { return [this, step] { steps.push_back(step); }; };
        const auto ended = [this](PipeServerEnd why, const Error& e) {
            EXPECT_FALSE(stop->load()) << "the host hears why before the flag is set";
            end = why;
            error = e.message();
        };
        const auto claimed = [this](bool waited) {
            steps.push_back(waited ? "claimed after waiting" : "claimed");
            return twist != Twist::host_stops;
        };
        const auto holder = [](std::optional<std::uint32_t> process) {
            return PipeHolder{"holder " + std::to_string(process.value_or(0)), "free it"};
        };
        return PipeServerHost{nullptr, stop, note("serving"), ended, give_up, note("waiting"), claimed, holder};
    }
};

TEST(PipeLoop, ClaimsTheNameThenServesOrGivesUpAsTheHostAsks) {
    using F = PipeCreateFailure;
    // Console mode's giving up, and the holder named without the host's
    // help, are rows of serve_pipe's own test.
    const std::string taken = "pipe name taken by holder 5: CreateNamedPipeW failed: 231; free it";
    const struct {
        const char* label;
        bool give_up;
        std::vector<F> adds;
        Twist twist;
        std::vector<std::string> heard;
        std::optional<PipeServerEnd> end;
        std::string error_starts;
    } rows[] = {
        {"the service says so once, waits, and serves", false, {F::taken, F::taken, F::taken}, Twist::none,
         {"waiting", "claimed after waiting", "serving", "serve 0"}, std::nullopt, ""},
        {"the service stopped while it waits", false, std::vector<F>(100, F::taken), Twist::stopped_waiting,
         {"waiting"}, std::nullopt, ""},
        {"no descriptor: nothing served", false, {F::descriptor}, Twist::none, {}, PipeServerEnd::failed,
         "security descriptor init failed"},
        {"a host that stops meanwhile: never opened", true, {}, Twist::host_stops, {"claimed"}, std::nullopt, ""},
        {"not opened to clients", true, {}, Twist::open_fails, {"claimed"}, PipeServerEnd::failed,
         "pipe not opened to clients"},
        {"two threads not started: six served", true, {}, Twist::threads_fail, {"claimed", "serving", "serve 0"},
         std::nullopt, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        testing::LogCapture log;
        ScriptedPipe pipe;
        pipe.adds.assign(row.adds.begin(), row.adds.end());
        pipe.twist = row.twist;
        PipeShares shares(8);
        serve_pipe_instances(pipe, shares, pipe.host(row.give_up));

        EXPECT_EQ(pipe.steps, row.heard);
        EXPECT_EQ(pipe.end, row.end);
        EXPECT_TRUE(pipe.error.starts_with(row.error_starts)) << pipe.error;
        EXPECT_EQ(pipe.stop->load(), row.end.has_value() || row.twist == Twist::stopped_waiting);
        EXPECT_EQ(log.count_starting("ERROR: " + taken), !row.adds.empty() && row.adds[0] == F::taken ? 1u : 0u);
        EXPECT_EQ(log.contains("ERROR: pipe instance lost: serving thread not started: failed to spawn thread; "
                               "now serving 6 instances"),
                  row.twist == Twist::threads_fail);
    }
}

// An instance whose client cannot be let go, or whose clients would have no
// time bounds, is lost: taken off the shares, said so with the count left,
// and its thread ends (one that went on would serve it for ever here).
struct LostInstance final : PipeInstance {
    bool prepare_fails = false;
    int exchanges = 0;
    Result<> prepare() override { return prepare_fails ? fail("DuplicateHandle failed: 8") : Result<>(); }
    Result<> connect() override { return {}; }
    Result<> disconnect() override { return fail("DisconnectNamedPipe failed: 1"); }
    PipeClientKey client() override { return {7, 1}; }
    ExchangeEnd exchange() override { return ++exchanges, ExchangeEnd{true, false, std::nullopt}; }
    void pause() override {}
};

TEST(PipeLoop, AnInstanceLostIsNoLongerServedOrCounted) {
    for (const auto& [prepare_fails, cause] :
         {std::pair{true, "its clients would have no time bounds: DuplicateHandle failed: 8"},
          std::pair{false, "DisconnectNamedPipe failed: 1"}}) {
        testing::LogCapture log;
        LostInstance instance;
        instance.prepare_fails = prepare_fails;
        PipeShares shares(8);
        ScriptedPipe pipe;
        serve_instance(instance, shares, pipe.host(true));
        EXPECT_EQ(instance.exchanges, prepare_fails ? 0 : 1);
        EXPECT_TRUE(log.contains("ERROR: pipe instance lost: " + std::string(cause) + "; now serving 7 instances"));
    }
}

}  // namespace
}  // namespace velmor
