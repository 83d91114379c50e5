#include "control/pipe_shares.hpp"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "support/explorer.hpp"

namespace velmor {
namespace {

using namespace std::chrono_literals;

PipeClientKey client(std::uint32_t process, std::uint32_t session = 1) { return {process, session}; }
PipeClientKey admin(std::uint32_t process, std::uint32_t session = 1) { return {process, session, true}; }

// Eight instances, some held, one more connection.
TEST(PipeShares, ASecondConnectionIsServedOnlyWhileEnoughStayFree) {
    const PipeClientKey unknown{};
    const struct {
        const char* label;
        std::vector<PipeClientKey> held;
        PipeClientKey next;
        bool served;
        int lost = 0;  // instances no longer served
    } rows[] = {
        {"a second connection while most are free", {{client(7)}}, client(7), true},
        {"a fifth of one process", {client(7), client(7), client(7), client(7)}, client(7), false},
        {"another process beside four of one", {client(7), client(7), client(7), client(7)}, client(8), true},
        {"a sixth of one session", {{client(1)}, {client(2)}, {client(3)}, {client(4)}, {client(5)}}, client(6), true},
        {"a seventh of one session",
         {{client(1)}, {client(2)}, {client(3)}, {client(4)}, {client(5)}, {client(6)}}, client(9), false},
        {"another session beside six of one",
         {{client(1)}, {client(2)}, {client(3)}, {client(4)}, {client(5)}, {client(6)}}, client(9, 2), true},
        {"a second of one process that would leave fewer than half free",
         {client(1, 1), client(2, 2), client(3, 3), client(4, 4), client(7, 7)}, client(7, 7), false},
        {"a second of one session that would leave one free",
         {client(1, 1), client(2, 2), client(3, 3), client(4, 4), client(5, 5), client(6, 9)}, client(8, 9), false},
        {"unknown processes count as one",
         {{unknown}, {unknown}, {unknown}, {unknown}}, unknown, false},
        // The last instance is the administrators'.
        {"a user never gets the kept instance",
         {client(1, 1), client(2, 2), client(3, 3), client(4, 4), client(5, 5), client(6, 6), client(7, 7)},
         client(8, 8), false},
        {"an elevated client finds an instance while a user's processes hold the rest",
         {client(1), client(2), client(3), client(4), client(5), client(6), client(7, 2)}, admin(9), true},
        {"a client whose token cannot be read is no administrator",
         {client(1, 1), client(2, 2), client(3, 3), client(4, 4), client(5, 5), client(6, 6), client(7, 7)},
         {8, 8, client_elevated(std::nullopt)}, false},
        {"an administrator is held to the process rule", {admin(9), admin(9), admin(9), admin(9)}, admin(9), false},
        // Counted from the instances served: six.
        {"a fifth of one session once two instances are lost",
         {client(1), client(2), client(3), client(4)}, client(5), false, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        PipeShares shares(8, 0ns);
        for (int i = 0; i < row.lost; ++i) shares.lose_instance();
        std::vector<PipeShares::Claim> claims;
        for (const PipeClientKey& held : row.held) {
            std::optional<PipeShares::Claim> claim = shares.admit(held);
            ASSERT_TRUE(claim);
            claims.push_back(std::move(*claim));
        }
        EXPECT_EQ(shares.admit(row.next).has_value(), row.served);
        // Every claim given back: the same connection is served.
        claims.clear();
        EXPECT_TRUE(shares.admit(row.next));
    }
}

TEST(PipeShares, OnlyATokenReadAsSystemOrWithAdministratorsEnabledIsElevated) {
    EXPECT_FALSE(client_elevated(std::nullopt));  // unreadable: fail closed
    EXPECT_FALSE(client_elevated(ClientStanding{false, false}));
    EXPECT_TRUE(client_elevated(ClientStanding{true, false}));
    EXPECT_TRUE(client_elevated(ClientStanding{false, true}));
}

// A client that comes back before the server has let its earlier connection
// go (it read its reply, or closed) waits for it instead of being dropped.
TEST(PipeShares, AClientBackBeforeItsConnectionIsLetGoWaitsForIt) {
    PipeShares shares(8, 1h);
    std::vector<PipeShares::Claim> others;
    for (int i = 0; i < 4; ++i) others.push_back(*shares.admit(client(7)));

    std::optional<PipeShares::Claim> earlier = shares.admit(client(8));
    ASSERT_TRUE(earlier);
    std::thread letting_go([&] {
        std::this_thread::sleep_for(50ms);
        earlier.reset();
    });
    EXPECT_TRUE(shares.admit(client(8)));
    letting_go.join();
}

// The shares run over every schedule of small scenarios in virtual time, with
// the pipe's instances as a model: a connection takes a free instance or
// finds the pipe busy, is admitted or dropped, and holds its instance while
// it is served. Checked besides each connection's outcome: no waiter sleeps
// to its deadline while it could have been admitted (the explorer's own
// invariant). No thread is held up by the system here: "at once" is in
// virtual time.
using ExploredShares = BasicPipeShares<explorer::Sync>;

enum class Outcome { served, dropped_at_once, dropped, busy };
const char* outcome_name(Outcome o) {
    switch (o) {
    case Outcome::served: return "served";
    case Outcome::dropped_at_once: return "dropped at once";
    case Outcome::dropped: return "dropped after waiting";
    case Outcome::busy: return "found the pipe busy";
    }
    return "?";
}

struct Connection {
    std::string name;
    PipeClientKey key;
    explorer::Duration arrives{};
    explorer::Duration holds{};
    std::optional<Outcome> expected;  // none: either way
};

struct SharesModel : explorer::Model {
    SharesModel(explorer::Schedule& s, int instance_count, const std::vector<Connection>& cs)
        : schedule(s), instances(instance_count), shares(instance_count), connections(cs) {}
    explorer::Schedule& schedule;
    const int instances;
    ExploredShares shares;
    const std::vector<Connection>& connections;
    int connected = 0;
    std::map<std::size_t, Outcome> outcomes;

    // The shares' lock and wake-up are the only ones, and each is a step.
    std::string name_of(const void*) const override { return "the shares"; }
    void at_rest() override {
        for (std::size_t i = 0; i < connections.size(); ++i) {
            const Connection& c = connections[i];
            const auto seen = outcomes.find(i);
            if (seen == outcomes.end()) return schedule.fail(c.name + " never ended");
            if (c.expected && seen->second != *c.expected)
                return schedule.fail(c.name + " " + outcome_name(seen->second) + ", expected " +
                                     outcome_name(*c.expected));
        }
    }

    void run(std::size_t i) {
        const Connection& c = connections[i];
        if (c.arrives > explorer::Duration::zero()) explorer::sleep_for(c.arrives);
        {
            explorer::Schedule::Lock lock(schedule.big);
            if (connected == instances) {
                outcomes[i] = Outcome::busy;
                return;
            }
            ++connected;
        }
        const explorer::Time arrived = explorer::VirtualClock::now();
        std::optional<ExploredShares::Claim> claim = shares.admit(c.key);
        const Outcome outcome = claim ? Outcome::served
                                : explorer::VirtualClock::now() == arrived ? Outcome::dropped_at_once
                                                                          : Outcome::dropped;
        if (claim) explorer::sleep_for(c.holds);
        claim.reset();
        explorer::Schedule::Lock lock(schedule.big);
        --connected;
        outcomes[i] = outcome;
    }
};

TEST(PipeShares, ExploredWaitersWakeWhenTheyFitAndNoSessionParksIntoTheReserve) {
    using namespace std::chrono_literals;
    const PipeClientKey a = client(1, 1), b = client(2, 2), c = client(3, 3), d = client(4, 4), e = client(5, 5),
                        g = client(7, 7);
    const std::optional<Outcome> either;
    const struct {
        std::string name;
        int instances;
        std::vector<Connection> connections;
        int bound;
    } scenarios[] = {
        // Only A's waiter can proceed when A lets one go; waking one waiter
        // wakes B's, which has waited longer.
        {"a release wakes the waiter of its process among two",
         8,
         {{"A1", a, 0ms, 1s, Outcome::served}, {"B1", b, 0ms, 10s, Outcome::served},
          {"C1", c, 0ms, 10s, Outcome::served}, {"D1", d, 0ms, 10s, Outcome::served},
          {"B2", b, 1ms, 1s, Outcome::dropped}, {"A2", a, 2ms, 10s, Outcome::served}},
         1},
        {"one waiter of a process at a time",
         8,
         {{"A1", a, 0ms, 10s, Outcome::served}, {"C1", c, 0ms, 10s, Outcome::served},
          {"D1", d, 0ms, 10s, Outcome::served}, {"E1", e, 0ms, 10s, Outcome::served},
          {"A2", a, 1ms, 1s, Outcome::dropped}, {"A3", a, 2ms, 1s, Outcome::dropped_at_once}},
         1},
        // G's second fits exactly, unless a waiter that has gone is still
        // counted.
        {"a waiter that was served is no longer counted as waiting",
         8,
         {{"A1", a, 0ms, 1s, Outcome::served}, {"C1", c, 0ms, 10s, Outcome::served},
          {"D1", d, 0ms, 10s, Outcome::served}, {"E1", e, 0ms, 2500ms, Outcome::served},
          {"A2", a, 1ms, 1s, Outcome::served}, {"G1", g, 3s, 10s, Outcome::served},
          {"G2", g, 3001ms, 1s, Outcome::served}},
         1},
        // Six of one session held; two more of it would park in the last two
        // instances, kept for another session and for an administrator, who
        // may be in the session that holds the rest.
        {"no session parks into the reserve",
         8,
         {{"A1", a, 0ms, 10s, either}, {"A2", a, 0ms, 10s, either}, {"A3", a, 0ms, 10s, either},
          {"A4", a, 0ms, 10s, either}, {"B1", client(2, 1), 0ms, 10s, either},
          {"C1", client(3, 1), 0ms, 10s, either}, {"A5", a, 1ms, 1s, Outcome::dropped_at_once},
          {"B2", client(2, 1), 1ms, 1s, Outcome::dropped_at_once}, {"D1", client(4, 2), 2ms, 1s, Outcome::served},
          {"E1", admin(5, 1), 2ms, 1s, Outcome::served}},
         0},
    };
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        const explorer::Explored explored =
            explorer::explore({.bound = scenario.bound, .slow_thread = 0s}, [&](explorer::Schedule& s) {
                auto m = std::make_unique<SharesModel>(s, scenario.instances, scenario.connections);
                for (std::size_t i = 0; i < scenario.connections.size(); ++i)
                    s.add_thread(scenario.connections[i].name, [i, &m = *m] { m.run(i); });
                return m;
            });
        explorer::print_summary(scenario.name, scenario.bound, explored);
        EXPECT_FALSE(explored.failure) << *explored.failure;
    }
}

}  // namespace
}  // namespace velmor
