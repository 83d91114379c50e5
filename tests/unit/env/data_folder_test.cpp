#include "env/data_folder.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "base/os_error.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

using testing::LogCapture;
using testing::read_file;
using testing::TempDir;

void write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> names_in(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CreateFolderAll, CreatesEveryMissingAncestorAndAcceptsExistingFolders) {
    TempDir dir;
    const std::filesystem::path deep = dir.path() / "Velmor" / "service" / "log";
    ASSERT_TRUE(create_folder_all(deep));
    EXPECT_TRUE(std::filesystem::is_directory(deep));
    EXPECT_TRUE(create_folder_all(deep)) << "an existing folder is no error";
    EXPECT_TRUE(create_folder_all(dir.path() / "Velmor")) << "an existing ancestor is no error";

    write(dir.path() / "file", "x");
    EXPECT_FALSE(create_folder_all(dir.path() / "file")) << "a file is not a folder";
    EXPECT_FALSE(create_folder_all(dir.path() / "file" / "below"));
}

class PlaceWintunTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(source);
        std::filesystem::create_directories(data);
    }
    TempDir dir;
    std::filesystem::path source = dir.path() / "exe";
    std::filesystem::path data = dir.path() / "data";
    LogCapture log;
};

TEST_F(PlaceWintunTest, CopiesOnceAndNeverReplaces) {
    write(source / "wintun.dll", "wintun v1");
    detail::place_wintun(source, data);
    EXPECT_EQ(read_file(data / "wintun.dll"), "wintun v1");
    EXPECT_EQ(names_in(data), std::vector<std::string>{"wintun.dll"}) << "no temporary copy left";

    write(source / "wintun.dll", "wintun v2");
    detail::place_wintun(source, data);
    EXPECT_EQ(read_file(data / "wintun.dll"), "wintun v1");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PlaceWintunTest, AnythingAlreadyInPlaceCountsAsPresent) {
    write(source / "wintun.dll", "wintun");
    std::filesystem::create_directories(data / "wintun.dll");
    detail::place_wintun(source, data);
    EXPECT_TRUE(std::filesystem::is_directory(data / "wintun.dll"));
    EXPECT_EQ(names_in(data), std::vector<std::string>{"wintun.dll"});
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PlaceWintunTest, MissingSourceIsSilent) {
    detail::place_wintun(source, data);
    EXPECT_TRUE(names_in(data).empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PlaceWintunTest, LeftoverOfACutOffCopyDoesNotStopTheNextOne) {
    write(source / "wintun.dll", "the whole library");
    for (const auto& name : {"wintun.dll.1.tmp", "wintun.dll.99999.tmp"}) write(data / name, "half");
    // This process's own leftover name is overwritten too.
    std::filesystem::path own = data / "wintun.dll";
    own += detail::temporary_copy_suffix();
    write(own, "half");
    detail::place_wintun(source, data);
    EXPECT_EQ(read_file(data / "wintun.dll"), "the whole library");
    EXPECT_FALSE(std::filesystem::exists(own));
}

TEST_F(PlaceWintunTest, FailedCopyIsLoggedAndLeavesNothingBehind) {
    write(source / "wintun.dll", "wintun");
    const std::filesystem::path missing_folder = data / "not-there";
    detail::place_wintun(source, missing_folder);
    EXPECT_FALSE(std::filesystem::exists(missing_folder));
    EXPECT_TRUE(names_in(data).empty());
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
#ifdef _WIN32
    EXPECT_EQ(lines[0], "ensure_wintun: copy failed: " + os_error_text(3));  // ERROR_PATH_NOT_FOUND
#else
    EXPECT_EQ(lines[0], "ensure_wintun: copy failed: " + os_error_text(2));  // ENOENT
#endif
}

TEST_F(PlaceWintunTest, RenameNeverReplacesACopyPlacedMeanwhile) {
    write(data / "ours.tmp", "ours");
    write(data / "wintun.dll", "theirs");
    const Result<detail::PlaceOutcome> placed = detail::rename_without_replacing(data / "ours.tmp", data / "wintun.dll");
    ASSERT_TRUE(placed);
    EXPECT_EQ(*placed, detail::PlaceOutcome::AlreadyPresent);
    EXPECT_EQ(read_file(data / "wintun.dll"), "theirs");

    const Result<detail::PlaceOutcome> moved = detail::rename_without_replacing(data / "ours.tmp", data / "new.dll");
    ASSERT_TRUE(moved);
    EXPECT_EQ(*moved, detail::PlaceOutcome::Placed);
    EXPECT_EQ(read_file(data / "new.dll"), "ours");
    EXPECT_FALSE(std::filesystem::exists(data / "ours.tmp"));
}

}  // namespace
}  // namespace velmor

namespace velmor {
namespace {

TEST_F(PlaceWintunTest, AnUntrustedCopyIsReplacedThroughANewFileOfOurOwn) {
    write(source / "wintun.dll", "from the executable's folder");
    write(data / "wintun.dll", "planted");
    // A file under this process's temporary name, as someone else could
    // have put there.
    std::filesystem::path temporary = data / "wintun.dll";
    temporary += detail::temporary_copy_suffix();
    write(temporary, "planted too");

    detail::place_wintun(source, data, WintunPlacement::ReplaceExisting);
    EXPECT_EQ(read_file(data / "wintun.dll"), "from the executable's folder");
    EXPECT_EQ(names_in(data), std::vector<std::string>{"wintun.dll"});
    EXPECT_TRUE(log.lines().empty());

    {
        SCOPED_TRACE("no source: the untrusted copy stays, silently");
        std::filesystem::remove(source / "wintun.dll");
        write(data / "wintun.dll", "planted again");
        detail::place_wintun(source, data, WintunPlacement::ReplaceExisting);
        EXPECT_EQ(read_file(data / "wintun.dll"), "planted again");
        EXPECT_TRUE(log.lines().empty());
    }
}

TEST_F(PlaceWintunTest, AFolderInPlaceOfAnUntrustedCopyIsAFailedCopy) {
    write(source / "wintun.dll", "wintun");
    std::filesystem::create_directories(data / "wintun.dll" / "inside");
    detail::place_wintun(source, data, WintunPlacement::ReplaceExisting);
    EXPECT_TRUE(std::filesystem::is_directory(data / "wintun.dll" / "inside"));
    EXPECT_EQ(names_in(data), std::vector<std::string>{"wintun.dll"}) << "no temporary copy left";
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("ensure_wintun: copy failed: ")) << lines[0];
}

}  // namespace
}  // namespace velmor
