#include "control/pipe_loop.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "support/test_actions.hpp"

namespace velmor {
namespace {

PipeCreateError create_error(PipeCreateFailure failure) { return {failure, Error("CreateNamedPipeW failed: 231")}; }

// The pipe's calls as scripted: what each add_instances returns in turn
// (then success), which threads do not start, whether opening fails.
struct ScriptedPipe final : PipeInstances {
    std::deque<PipeCreateError> adds;
    std::set<std::size_t> not_started;
    bool open_fails = false;
    std::shared_ptr<std::atomic<bool>> stop_after_pauses;
    int pauses_until_stop = -1;
    std::vector<std::string> steps;

    std::optional<PipeCreateError> add_instances() override {
        steps.push_back("add");
        if (adds.empty()) return std::nullopt;
        PipeCreateError next = adds.front();
        adds.pop_front();
        return next;
    }
    std::size_t count() const override { return 8; }
    Result<> open_to_clients() override {
        steps.push_back("open");
        if (open_fails) return fail("SetSecurityInfo failed: 5");
        return {};
    }
    PipeHolder holder() override { return {"process 5", "end that process first"}; }
    Result<> start_serving(std::size_t index) override {
        steps.push_back("start " + std::to_string(index));
        if (not_started.contains(index)) return fail("failed to spawn thread");
        return {};
    }
    void serve(std::size_t index) override { steps.push_back("serve " + std::to_string(index)); }
    void pause() override {
        if (pauses_until_stop >= 0 && pauses_until_stop-- == 0) stop_after_pauses->store(true);
    }
};

struct Heard {
    std::vector<std::string> steps;
    std::optional<PipeServerEnd> end;
    std::string error;
};

PipeServerHost host_for(Heard& heard, bool give_up, const std::shared_ptr<std::atomic<bool>>& stop,
                        bool claim_ok = true) {
    return PipeServerHost{nullptr,
                          stop,
                          [&heard] { heard.steps.push_back("serving"); },
                          [&heard, stop](PipeServerEnd end, const Error& error) {
                              EXPECT_FALSE(stop->load()) << "the host hears why before the flag is set";
                              heard.end = end;
                              heard.error = error.message();
                          },
                          give_up,
                          [&heard] { heard.steps.push_back("waiting"); },
                          [&heard, claim_ok](bool waited) {
                              heard.steps.push_back(waited ? "claimed after waiting" : "claimed");
                              return claim_ok;
                          }};
}

// The name taken, a further instance refused, the descriptor, the opening
// and the serving threads: what the server does and what its host hears.
TEST(PipeLoop, ClaimsTheNameThenServesOrGivesUpAsTheHostAsks) {
    using F = PipeCreateFailure;
    const std::string taken = "pipe name taken by process 5: CreateNamedPipeW failed: 231; end that process first";
    const struct {
        const char* label;
        bool give_up;
        std::vector<F> adds;
        std::set<std::size_t> not_started;
        bool open_fails = false;
        bool claim_ok = true;
        std::vector<std::string> heard;
        std::optional<PipeServerEnd> end;
        std::string error_starts;
        std::size_t taken_lines = 0;
        std::size_t lost_lines = 0;
    } rows[] = {
        {"console mode gives up at once", true, {F::taken}, {}, false, true, {}, PipeServerEnd::name_taken, taken, 1},
        {"the service says so once, waits, and serves", false, {F::taken, F::taken, F::taken}, {}, false, true,
         {"waiting", "claimed after waiting", "serving"}, std::nullopt, "", 1},
        {"no descriptor: nothing served", false, {F::descriptor}, {}, false, true, {}, PipeServerEnd::failed,
         "security descriptor init failed"},
        {"a further instance made at the last attempt", true, std::vector<F>(INSTANCE_ATTEMPTS - 1, F::instance), {},
         false, true, {"claimed", "serving"}, std::nullopt, ""},
        {"a further instance never made: never opened", true, std::vector<F>(INSTANCE_ATTEMPTS, F::instance), {},
         false, true, {}, PipeServerEnd::failed, "pipe not served: not every instance could be made"},
        {"a host that stops meanwhile: never opened", true, {}, {}, false, false, {"claimed"}, std::nullopt, ""},
        {"not opened to clients", true, {}, {}, true, true, {"claimed"}, PipeServerEnd::failed,
         "pipe not opened to clients"},
        {"two threads not started: fewer served", true, {}, {3, 7}, false, true, {"claimed", "serving"},
         std::nullopt, "", 0, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        testing::LogCapture log;
        ScriptedPipe pipe;
        for (F f : row.adds) pipe.adds.push_back(create_error(f));
        pipe.not_started = row.not_started;
        pipe.open_fails = row.open_fails;
        auto stop = std::make_shared<std::atomic<bool>>(false);
        Heard heard;
        PipeShares shares(8);
        serve_pipe_instances(pipe, shares, host_for(heard, row.give_up, stop, row.claim_ok));

        EXPECT_EQ(heard.steps, row.heard);
        EXPECT_EQ(heard.end, row.end);
        EXPECT_TRUE(heard.error.starts_with(row.error_starts)) << heard.error;
        // Given up: the flag is set, and nothing was opened.
        EXPECT_EQ(stop->load(), row.end.has_value());
        const bool served = !row.heard.empty() && row.heard.back() == "serving";
        EXPECT_EQ(pipe.steps.back() == "serve 0", served);
        EXPECT_EQ(log.count_starting("ERROR: " + taken), row.taken_lines);
        EXPECT_EQ(log.count_starting("ERROR: pipe instance lost: serving thread not started: failed to spawn thread; "
                                     "now serving "),
                  row.lost_lines);
        if (row.lost_lines > 0) {
            EXPECT_TRUE(log.contains(
                "ERROR: pipe instance lost: serving thread not started: failed to spawn thread; now serving 6 instances"));
        }
    }
}

// A service waiting for the name finds the stop flag between attempts.
TEST(PipeLoop, AServiceWaitingForTheNameEndsWhenStopped) {
    ScriptedPipe pipe;
    for (int i = 0; i < 100; ++i) pipe.adds.push_back(create_error(PipeCreateFailure::taken));
    auto stop = std::make_shared<std::atomic<bool>>(false);
    pipe.stop_after_pauses = stop;
    pipe.pauses_until_stop = 3;
    Heard heard;
    PipeShares shares(8);
    serve_pipe_instances(pipe, shares, host_for(heard, false, stop));
    EXPECT_EQ(heard.steps, std::vector<std::string>{"waiting"});
    EXPECT_FALSE(heard.end);
    EXPECT_EQ(std::count(pipe.steps.begin(), pipe.steps.end(), "add"), 4);
}

// One instance as scripted: each connection's client, whether letting it go
// fails; the flag is set when the script ends.
struct ScriptedInstance final : PipeInstance {
    struct Connection {
        PipeClientKey key;
        bool disconnect_fails = false;
    };
    bool prepare_fails = false;
    std::deque<Connection> connections;
    std::shared_ptr<std::atomic<bool>> stop;
    int exchanges = 0;
    std::optional<Connection> current;

    Result<> prepare() override {
        if (prepare_fails) return fail("DuplicateHandle failed: 8");
        return {};
    }
    Result<> connect() override {
        if (connections.empty()) {
            stop->store(true);
            return fail("ConnectNamedPipe failed: 232");
        }
        current = connections.front();
        connections.pop_front();
        return {};
    }
    Result<> disconnect() override {
        if (current && current->disconnect_fails) return fail("DisconnectNamedPipe failed: 1");
        return {};
    }
    PipeClientKey client() override { return current->key; }
    ExchangeEnd exchange() override {
        ++exchanges;
        return {true, false, std::nullopt};
    }
    void pause() override {}
};

// An instance that cannot be served is taken off the shares and said so
// with the count left; a connection beyond its share is dropped.
TEST(PipeLoop, AnInstanceLostIsNoLongerServedOrCounted) {
    const PipeClientKey user{7, 1};
    const struct {
        const char* label;
        bool prepare_fails;
        std::vector<ScriptedInstance::Connection> connections;
        int held_elsewhere;  // by process 7, on other instances
        int exchanges;
        std::string line;
    } rows[] = {
        {"no time bounds for its clients", true, {{user}}, 0, 0,
         "ERROR: pipe instance lost: its clients would have no time bounds: DuplicateHandle failed: 8; now serving 7 "
         "instances"},
        {"a client that cannot be let go", false, {{user, true}, {user}}, 0, 1,
         "ERROR: pipe instance lost: DisconnectNamedPipe failed: 1; now serving 7 instances"},
        // Its line is a client's, which the log's rate limit may hold back.
        {"a connection beyond its share: not served", false, {{user}}, 4, 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        testing::LogCapture log;
        auto stop = std::make_shared<std::atomic<bool>>(false);
        ScriptedInstance instance;
        instance.prepare_fails = row.prepare_fails;
        instance.connections.assign(row.connections.begin(), row.connections.end());
        instance.stop = stop;
        PipeShares shares(8, std::chrono::nanoseconds(0));
        std::vector<PipeShares::Claim> held;
        for (int i = 0; i < row.held_elsewhere; ++i) held.push_back(*shares.admit(user));
        Heard heard;
        serve_instance(instance, shares, host_for(heard, true, stop));
        EXPECT_EQ(instance.exchanges, row.exchanges);
        if (!row.line.empty()) {
            EXPECT_TRUE(log.contains(row.line));
        }
        // A lost instance's thread ends with the rest of the script unserved.
        EXPECT_EQ(stop->load(), row.line.empty());
    }
}

}  // namespace
}  // namespace velmor
