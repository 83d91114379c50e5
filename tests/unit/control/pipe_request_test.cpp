#include "control/pipe_request.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmor {
namespace {

struct GatherCase {
    const char* label;
    std::size_t max_bytes;
    std::vector<std::string> reads;
    GatherState state;
    std::string gathered;  // when Complete
    std::size_t reads_taken;  // reads after which the state was reached
};

TEST(RequestGatherer, EndsAtTheFirstLineFeedOrAnEmptyReadAndBoundsTheSize) {
    const std::vector<GatherCase> cases = {
        {"line feed in the first read", 64, {"{\"action\":\"ping\"}\n"}, GatherState::Complete,
         "{\"action\":\"ping\"}\n", 1},
        {"line in several reads", 64, {"{\"act", "ion\":", "\"ping\"}\n"}, GatherState::Complete,
         "{\"action\":\"ping\"}\n", 3},
        {"line feed alone in the last read", 64, {"abc", "\n"}, GatherState::Complete, "abc\n", 2},
        {"bytes after the line feed are dropped", 64, {"a\nb", "c\n"}, GatherState::Complete, "a\n", 1},
        {"empty read ends a line without line feed", 64, {"abc", ""}, GatherState::Complete, "abc", 2},
        {"empty first read is an empty request", 64, {""}, GatherState::Complete, "", 1},
        {"no line feed yet", 64, {"abc", "def"}, GatherState::NeedMore, "abcdef", 2},
        {"line of exactly the limit", 4, {"ab", "cd\n"}, GatherState::Complete, "abcd\n", 2},
        {"limit reached without line feed", 4, {"ab", "cd"}, GatherState::NeedMore, "abcd", 2},
        {"one byte past the limit", 4, {"ab", "cd", "e"}, GatherState::TooLarge, "", 3},
        {"line feed after the limit", 4, {"ab", "cde\n"}, GatherState::TooLarge, "", 2},
        {"one read past the limit", 4, {"abcdefgh"}, GatherState::TooLarge, "", 1},
        {"CR before the line feed is kept", 64, {"x\r\n"}, GatherState::Complete, "x\r\n", 1},
    };
    for (const GatherCase& c : cases) {
        SCOPED_TRACE(c.label);
        RequestGatherer gatherer(c.max_bytes);
        std::size_t taken = 0;
        for (const std::string& read : c.reads) {
            if (gatherer.state() != GatherState::NeedMore) break;
            gatherer.add(read);
            ++taken;
        }
        EXPECT_EQ(gatherer.state(), c.state);
        EXPECT_EQ(taken, c.reads_taken);
        if (c.state != GatherState::TooLarge) {
            EXPECT_EQ(gatherer.bytes(), c.gathered);
        }
    }
}

TEST(RequestGatherer, FinishedStateIgnoresLaterReads) {
    RequestGatherer done(8);
    done.add("a\n");
    EXPECT_EQ(done.add("more\n"), GatherState::Complete);
    EXPECT_EQ(done.bytes(), "a\n");

    RequestGatherer too_large(2);
    too_large.add("abc");
    EXPECT_EQ(too_large.add("\n"), GatherState::TooLarge);
    EXPECT_TRUE(too_large.bytes().empty());
}

TEST(RequestGatherer, GathersTheLargestRequestInReadSizedChunks) {
    // A request line of exactly MAX_REQUEST_BYTES, fed as the pipe feeds it.
    RequestGatherer gatherer;
    const std::string chunk(READ_CHUNK_BYTES, 'x');
    std::size_t fed = 0;
    while (fed + chunk.size() <= MAX_REQUEST_BYTES) {
        ASSERT_EQ(gatherer.add(chunk), GatherState::NeedMore);
        fed += chunk.size();
    }
    EXPECT_EQ(gatherer.add(std::string(MAX_REQUEST_BYTES - fed, 'x') + "\n"), GatherState::Complete);
    EXPECT_EQ(gatherer.bytes().size(), MAX_REQUEST_BYTES + 1);

    RequestGatherer over;
    fed = 0;
    GatherState state = GatherState::NeedMore;
    while (state == GatherState::NeedMore && fed <= MAX_REQUEST_BYTES + chunk.size()) {
        state = over.add(chunk);
        fed += chunk.size();
    }
    EXPECT_EQ(state, GatherState::TooLarge);
    EXPECT_EQ(fed, MAX_REQUEST_BYTES + chunk.size());
}

}  // namespace
}  // namespace velmor
