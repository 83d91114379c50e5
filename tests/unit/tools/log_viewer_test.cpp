#include "velmor-ctl/log_viewer.hpp"

#include <gtest/gtest.h>

#include <utility>

namespace velmor::ctl {
namespace {

// A log rotated under a follower: the old file, then the new one at its path.
struct RotatedLog final : FollowedLog {
    std::string old_file, new_file;
    bool renamed = false, made_again = false, on_new = false;
    Result<std::string> read_new() override { return std::exchange(on_new ? new_file : old_file, ""); }
    bool replaced() override { return renamed && !on_new; }
    Result<> reopen() override {
        if (!made_again) return fail("CreateFileW failed: 2");
        on_new = true;
        return {};
    }
};

// Rounds of --follow: every line of the old file is printed, its unfinished
// last one too, before any of the new file; a new file not made yet is
// looked for again.
TEST(LogViewer, FollowPrintsEveryLineAcrossARotationInOrder) {
    RotatedLog log;
    LogLines lines(LogLineFilter(nullptr, {}));
    log.old_file = "a\nb";
    EXPECT_EQ(follow_round(log, lines), "a\n");
    EXPECT_EQ(follow_round(log, lines), "");  // b waits for its line feed
    log.old_file = "b\nc";  // written before the rename
    log.renamed = true;
    EXPECT_EQ(follow_round(log, lines), "bb\nc\n");
    EXPECT_FALSE(log.on_new);
    log.made_again = true;
    log.new_file = "d\n";
    EXPECT_EQ(follow_round(log, lines), "");
    EXPECT_TRUE(log.on_new);
    log.new_file += "e";
    EXPECT_EQ(follow_round(log, lines), "d\n");
    EXPECT_EQ(lines.finish(), "e\n");
}

}  // namespace
}  // namespace velmor::ctl
