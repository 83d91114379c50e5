#include "control/pipe_shares.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace velmor {
namespace {

using namespace std::chrono_literals;

PipeClientKey client(std::uint32_t process, std::uint32_t session = 1) { return {process, session}; }

// Eight instances, some held, one more connection.
TEST(PipeShares, ASecondConnectionIsServedOnlyWhileEnoughStayFree) {
    const PipeClientKey unknown{};
    const struct {
        const char* label;
        std::vector<PipeClientKey> held;
        PipeClientKey next;
        bool served;
    } rows[] = {
        {"a second connection while most are free", {{client(7)}}, client(7), true},
        {"a fifth of one process", {client(7), client(7), client(7), client(7)}, client(7), false},
        {"another process beside four of one", {client(7), client(7), client(7), client(7)}, client(8), true},
        {"a sixth of one session", {{client(1)}, {client(2)}, {client(3)}, {client(4)}, {client(5)}}, client(6), true},
        {"a seventh of one session",
         {{client(1)}, {client(2)}, {client(3)}, {client(4)}, {client(5)}, {client(6)}}, client(9), false},
        {"another session beside six of one",
         {{client(1)}, {client(2)}, {client(3)}, {client(4)}, {client(5)}, {client(6)}}, client(9, 2), true},
        {"unknown processes count as one",
         {{unknown}, {unknown}, {unknown}, {unknown}}, unknown, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        PipeShares shares(8, 0ns);
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

}  // namespace
}  // namespace velmor
