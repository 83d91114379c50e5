#include "control/pipe_loop.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "support/test_actions.hpp"

namespace velmor {
namespace {

// What goes wrong besides the failures to make instances.
enum class Twist { none, open_fails, host_stops, stopped_waiting, threads_fail };

// The pipe as scripted: what each add_instances returns in turn (then
// success), and the twist.
struct ScriptedPipe final : PipeInstances {
    std::deque<PipeCreateFailure> adds;
    Twist twist = Twist::none;
    int pauses = 0;
    std::shared_ptr<std::atomic<bool>> stop;
    std::vector<std::string> steps;

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
    PipeHolder holder() override { return {"process 5", "end that process first"}; }
    Result<> start_serving(std::size_t index) override {
        return twist == Twist::threads_fail && index % 4 == 3 ? fail("failed to spawn thread") : Result<>();
    }
    void serve(std::size_t index) override { steps.push_back("serve " + std::to_string(index)); }
    void pause() override {
        if (twist == Twist::stopped_waiting && ++pauses == 3) stop->store(true);
    }
};

struct Heard {
    std::vector<std::string> steps;
    std::optional<PipeServerEnd> end;
    std::string error;
};

PipeServerHost host_for(Heard& heard, bool give_up, const std::shared_ptr<std::atomic<bool>>& stop,
                        bool claim_ok = true) {
    return PipeServerHost{nullptr, stop, [&heard] { heard.steps.push_back("serving"); },
                          [&heard, stop](PipeServerEnd end, const Error& error) {
                              EXPECT_FALSE(stop->load()) << "the host hears why before the flag is set";
                              heard.end = end;
                              heard.error = error.message();
                          },
                          give_up, [&heard] { heard.steps.push_back("waiting"); },
                          [&heard, claim_ok](bool waited) {
                              heard.steps.push_back(waited ? "claimed after waiting" : "claimed");
                              return claim_ok;
                          }};
}

TEST(PipeLoop, ClaimsTheNameThenServesOrGivesUpAsTheHostAsks) {
    using F = PipeCreateFailure;
    // Console mode's giving up is a row of serve_pipe's own test.
    const std::string taken = "pipe name taken by process 5: CreateNamedPipeW failed: 231; end that process first";
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
         {"waiting", "claimed after waiting", "serving"}, std::nullopt, ""},
        {"the service stopped while it waits", false, std::vector<F>(100, F::taken), Twist::stopped_waiting,
         {"waiting"}, std::nullopt, ""},
        {"no descriptor: nothing served", false, {F::descriptor}, Twist::none, {}, PipeServerEnd::failed,
         "security descriptor init failed"},
        {"a host that stops meanwhile: never opened", true, {}, Twist::host_stops, {"claimed"}, std::nullopt, ""},
        {"not opened to clients", true, {}, Twist::open_fails, {"claimed"}, PipeServerEnd::failed,
         "pipe not opened to clients"},
        {"two threads not started: six served", true, {}, Twist::threads_fail, {"claimed", "serving"}, std::nullopt,
         ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        testing::LogCapture log;
        ScriptedPipe pipe;
        pipe.adds.assign(row.adds.begin(), row.adds.end());
        pipe.twist = row.twist;
        auto stop = pipe.stop = std::make_shared<std::atomic<bool>>(false);
        Heard heard;
        PipeShares shares(8);
        serve_pipe_instances(pipe, shares, host_for(heard, row.give_up, stop, row.twist != Twist::host_stops));

        EXPECT_EQ(heard.steps, row.heard);
        EXPECT_EQ(heard.end, row.end);
        EXPECT_TRUE(heard.error.starts_with(row.error_starts)) << heard.error;
        EXPECT_EQ(stop->load(), row.end.has_value() || row.twist == Twist::stopped_waiting);
        EXPECT_EQ(!pipe.steps.empty(), !row.heard.empty() && row.heard.back() == "serving");
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
    for (const bool prepare_fails : {true, false}) {
        testing::LogCapture log;
        LostInstance instance;
        instance.prepare_fails = prepare_fails;
        PipeShares shares(8);
        Heard heard;
        serve_instance(instance, shares, host_for(heard, true, std::make_shared<std::atomic<bool>>(false)));
        EXPECT_EQ(instance.exchanges, prepare_fails ? 0 : 1);
        EXPECT_TRUE(log.contains("ERROR: pipe instance lost: " +
                                 std::string(prepare_fails ? "its clients would have no time bounds: DuplicateHandle "
                                                             "failed: 8"
                                                           : "DisconnectNamedPipe failed: 1") +
                                 "; now serving 7 instances"));
    }
}

}  // namespace
}  // namespace velmor
