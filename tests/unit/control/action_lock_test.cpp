#include "control/action_lock.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/explorer.hpp"

namespace velmor {
namespace {

using namespace std::chrono_literals;

// The start/stop lock runs over every schedule of small scenarios in virtual
// time: requests arrive, wait up to their bounds, and hold the lock for a
// while when they get it. Checked besides each request's outcome: no two
// hold it at once, a waiter takes it at the moment it is let go, and one
// that gives up does so only while another holds it; and the explorer's own
// invariant, no waiter sleeps to its deadline while it could have proceeded.
// The lock's mutex guards one flag and is no scheduling point; its wake-ups
// are, and only they are named.
using ExploredLock = BasicActionLock<explorer::NamingSync>;

struct Request {
    std::string name;
    explorer::Duration arrives{};
    explorer::Duration bound{};
    explorer::Duration holds{};
    std::optional<bool> gets_it;  // none: either way
};

struct LockModel : explorer::Model {
    LockModel(explorer::Schedule& s, const std::vector<Request>& rs) : schedule(s), requests(rs) {}
    explorer::Schedule& schedule;
    ExploredLock lock;
    const void* const condition = explorer::LatestCondition::latest;
    const std::vector<Request>& requests;
    bool held = false;
    explorer::Time free_since{};
    std::map<std::size_t, bool> outcomes;

    std::string name_of(const void* object) const override {
        return object == condition ? "the start/stop lock" : std::string();
    }
    void at_rest() override {
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const auto seen = outcomes.find(i);
            if (seen == outcomes.end()) return schedule.fail(requests[i].name + " never ended");
            if (requests[i].gets_it && seen->second != *requests[i].gets_it)
                return schedule.fail(requests[i].name + (seen->second ? " got the lock" : " gave up"));
        }
    }

    void run(std::size_t i) {
        const Request& r = requests[i];
        if (r.arrives > explorer::Duration::zero()) explorer::sleep_for(r.arrives);
        const bool got = lock.try_lock_for(r.bound);
        {
            explorer::Schedule::Lock big(schedule.big);
            outcomes[i] = got;
            const std::string free = " although the lock was free since" + explorer::seconds(free_since);
            if (got && held) return schedule.fail(r.name + " got the lock while another held it");
            if (got && schedule.now != free_since) schedule.fail(r.name + " got the lock late" + free);
            if (!got && !held) schedule.fail(r.name + " gave up" + free);
            if (!got) return;
            held = true;
        }
        explorer::sleep_for(r.holds);
        {
            explorer::Schedule::Lock big(schedule.big);
            held = false;
            free_since = schedule.now;
        }
        lock.unlock();
    }
};

TEST(ActionLock, ExploredWaitersTakeTheLockWhenItIsLetGoOrGiveUpOnlyWhileItIsHeld) {
    const std::optional<bool> either;
    const struct {
        std::string name;
        std::vector<Request> requests;
    } scenarios[] = {
        {"a holder and two waiters, bounds shorter and longer than the hold",
         {{"holder", 0ms, 0ms, 1s, true}, {"short", 1ms, 500ms, 1s, false}, {"long", 2ms, 5s, 1s, true}}},
        // The first waiter's bound ends as the lock is let go: it may take
        // the lock or give up, and either way the other must not sleep on.
        {"a waiter whose bound ends as the lock is let go",
         {{"holder", 0ms, 0ms, 1s, true}, {"tied", 1ms, 999ms, 500ms, either}, {"long", 1ms, 5s, 1s, true}}},
        {"the lock passes down a queue of waiters",
         {{"holder", 0ms, 0ms, 1s, true},
          {"first", 1ms, 2s, 1s, true},
          {"second", 2ms, 3s, 1s, true},
          {"third", 3ms, 1500ms, 1s, false}}},
    };
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        const explorer::Explored explored =
            explorer::explore({.bound = 2, .slow_thread = 0s}, [&](explorer::Schedule& s) {
                auto m = std::make_unique<LockModel>(s, scenario.requests);
                for (std::size_t i = 0; i < scenario.requests.size(); ++i)
                    s.add_thread(scenario.requests[i].name, [i, &m = *m] { m.run(i); });
                return m;
            });
        explorer::print_summary(scenario.name, 2, explored);
        EXPECT_FALSE(explored.failure) << *explored.failure;
    }
}

}  // namespace
}  // namespace velmor
