#include "control/pipe_shares.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace velmor {
namespace {

using namespace std::chrono_literals;

PipeClientKey client(std::uint32_t process, std::uint32_t session = 1) { return {process, session}; }

struct Held {
    PipeClientKey key;
    bool finishing = false;
};

// Eight instances, some held, one more connection.
TEST(PipeShares, ASecondConnectionIsServedOnlyWhileEnoughStayFree) {
    const PipeClientKey unknown{};
    const struct {
        const char* label;
        std::vector<Held> held;
        PipeClientKey next;
        bool served;
    } rows[] = {
        {"a second connection while most are free", {{client(7)}}, client(7), true},
        {"a fifth of one process", {{client(7)}, {client(7)}, {client(7)}, {client(7)}}, client(7), false},
        {"another process beside four of one", {{client(7)}, {client(7)}, {client(7)}, {client(7)}}, client(8), true},
        {"a sixth of one session", {{client(1)}, {client(2)}, {client(3)}, {client(4)}, {client(5)}}, client(6), true},
        {"a seventh of one session",
         {{client(1)}, {client(2)}, {client(3)}, {client(4)}, {client(5)}, {client(6)}}, client(9), false},
        {"another session beside six of one",
         {{client(1)}, {client(2)}, {client(3)}, {client(4)}, {client(5)}, {client(6)}}, client(9, 2), true},
        {"unknown processes count as one",
         {{unknown}, {unknown}, {unknown}, {unknown}}, unknown, false},
        {"a finishing connection is not waited for past the bound",
         {{client(7)}, {client(7)}, {client(7)}, {client(7)}, {client(8), true}}, client(8), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        PipeShares shares(8, 0ns);
        std::vector<PipeShares::Claim> claims;
        for (const Held& held : row.held) {
            std::optional<PipeShares::Claim> claim = shares.admit(held.key);
            ASSERT_TRUE(claim);
            if (held.finishing) claim->finishing();
            claims.push_back(std::move(*claim));
        }
        EXPECT_EQ(shares.admit(row.next).has_value(), row.served);
        // Every claim given back: the same connection is served.
        claims.clear();
        EXPECT_TRUE(shares.admit(row.next));
    }
}

// A client that read its reply and came back before its connection was let
// go waits for it; one with only a silent connection is dropped without
// waiting.
TEST(PipeShares, OnlyAClientWithAFinishingConnectionWaits) {
    PipeShares shares(8, 1h);
    std::vector<PipeShares::Claim> others;
    for (int i = 0; i < 4; ++i) others.push_back(*shares.admit(client(7)));

    std::optional<PipeShares::Claim> earlier = shares.admit(client(8));
    ASSERT_TRUE(earlier);
    earlier->finishing();
    std::thread letting_go([&] {
        std::this_thread::sleep_for(50ms);
        earlier.reset();
    });
    EXPECT_TRUE(shares.admit(client(8)));
    letting_go.join();

    std::optional<PipeShares::Claim> silent = shares.admit(client(8));
    ASSERT_TRUE(silent);
    EXPECT_FALSE(shares.admit(client(8))) << "waited for a connection that is not finishing";
}

}  // namespace
}  // namespace velmor
