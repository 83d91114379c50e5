#include "base/file_ops.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

// Each rename and the copy with a file at the new name or none, and with no source: the system's answer as the
// callers' log lines quote it, and what is left under both names ("" for nothing).
TEST(FileOps, EachCallAsTheSystemAnswers) {
    using enum file_ops::Rename;
    using Path = const std::filesystem::path&;
#ifdef _WIN32
    const std::string keep = "MoveFileExW failed: 183", replace = "MoveFileExW failed: 2",
                      open_replace = "CreateFileW failed: 2", copy = "CopyFileExW failed: 2";
#else
    const std::string keep = "renameat2 failed: 17", replace = "rename failed: 2", open_replace = replace,
                      copy = "copy_file failed: 2";
#endif
    const auto rename = [](file_ops::Rename how) { return [how](Path a, Path b) { return file_ops::rename_file(a, b, how); }; };
    struct Case {
        std::function<Result<>(Path, Path)> call;
        bool source, target;
        std::string error, source_after, target_after;
    };
    const Case cases[] = {
        {rename(KeepExisting), true, false, "", "", "new"},
        {rename(KeepExisting), true, true, keep, "new", "old"},
        {rename(ReplaceExisting), true, true, "", "", "new"},
        {rename(ReplaceEvenIfOpen), true, true, "", "", "new"},
        {file_ops::copy_file_over, true, true, "", "new", "new"},
        // A failed call is an error, never success.
        {rename(ReplaceExisting), false, true, replace, "", "old"},
        {rename(ReplaceEvenIfOpen), false, true, open_replace, "", "old"},
        {file_ops::copy_file_over, false, true, copy, "", "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        testing::TempDir dir;
        const std::filesystem::path from = dir.path() / "from", to = dir.path() / "to";
        if (c.source) std::ofstream(from) << "new";
        if (c.target) std::ofstream(to) << "old";
        const Result<> done = c.call(from, to);
        EXPECT_EQ(done ? "" : done.error().message(), c.error);
        EXPECT_EQ(testing::read_file(from), c.source_after);
        EXPECT_EQ(testing::read_file(to), c.target_after);
    }
}

}  // namespace
}  // namespace velmor
