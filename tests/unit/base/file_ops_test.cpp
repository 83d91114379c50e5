#include "base/file_ops.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

// What no caller's test shows: a keeping rename that finds a file at the new
// name fails and changes nothing, and a copy replaces a file there.
TEST(FileOps, EachCallAsTheSystemAnswers) {
    using Path = const std::filesystem::path&;
#ifdef _WIN32
    const std::string keep = "MoveFileExW failed: 183";
#else
    const std::string keep = "renameat2 failed: 17";
#endif
    const auto keeping = [](Path a, Path b) { return file_ops::rename_file(a, b, file_ops::Rename::KeepExisting); };
    struct Case {
        std::function<Result<>(Path, Path)> call;
        std::string error, source_after, target_after;
    };
    const Case cases[] = {
        {keeping, keep, "new", "old"},
        {file_ops::copy_file_over, "", "new", "new"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        testing::TempDir dir;
        const std::filesystem::path from = dir.path() / "from", to = dir.path() / "to";
        std::ofstream(from) << "new";
        std::ofstream(to) << "old";
        const Result<> done = c.call(from, to);
        EXPECT_EQ(done ? "" : done.error().message(), c.error);
        EXPECT_EQ(testing::read_file(from), c.source_after);
        EXPECT_EQ(testing::read_file(to), c.target_after);
    }
}

}  // namespace
}  // namespace velmor
