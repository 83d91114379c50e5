// The size-then-retry loop against a query whose answer grows between calls.

#include "base/sized_query.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace velmor {
namespace {

enum class Status { ok, too_small, failed };

TEST(SizedQuery, RetriesWithTheSizeAskedWithinItsBound) {
    struct Case {
        const char* name;
        std::vector<std::size_t> needed;  // per call; past the end, the last one
        Status failure_at_first;          // too_small: none
        Status status;
        int calls;
    };
    const Case cases[] = {
        {"fits at once", {10}, Status::too_small, Status::ok, 1},
        {"grows once", {300, 300}, Status::too_small, Status::ok, 2},
        {"grows on every call", {300, 600, 900, 1200, 1500}, Status::too_small, Status::too_small, 4},
        {"asks for no more than it had", {257, 10}, Status::too_small, Status::ok, 2},
        {"fails", {10}, Status::failed, Status::failed, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int calls = 0;
        std::vector<std::size_t> capacities;
        const auto answer = query_sized(
            [&](void* data, unsigned& bytes) {
                capacities.push_back(bytes);
                const std::size_t need = c.needed[std::min<std::size_t>(static_cast<std::size_t>(calls), c.needed.size() - 1)];
                ++calls;
                if (c.failure_at_first != Status::too_small) return c.failure_at_first;
                // A query that asks for a size no larger than the buffer
                // must still get a larger one.
                if (need > bytes || (calls == 1 && need == 257)) {
                    bytes = static_cast<unsigned>(need);
                    return Status::too_small;
                }
                static_cast<char*>(data)[need - 1] = 'x';
                bytes = static_cast<unsigned>(need);
                return Status::ok;
            },
            Status::too_small, 256u);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(calls, c.calls);
        for (std::size_t i = 1; i < capacities.size(); ++i) EXPECT_GT(capacities[i], capacities[i - 1]);
        if (answer.status == Status::ok) {
            EXPECT_LE(answer.bytes, answer.buffer.size() * sizeof(std::uint64_t));
            EXPECT_EQ(static_cast<const char*>(answer.data())[answer.bytes - 1], 'x');
        }
    }
}

}  // namespace
}  // namespace velmor
