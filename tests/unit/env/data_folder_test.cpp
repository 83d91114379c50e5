#include "env/data_folder.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "base/os_error.hpp"
#include "unit/core/core_test_support.hpp"
#ifdef _WIN32
#include "base/win.hpp"
#endif

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

TEST(HeldFolder, IsAtThePathOnlyWhileThePathNamesIt) {
    TempDir dir;
    const std::filesystem::path folder = dir.path() / "service";
    const std::filesystem::path moved = dir.path() / "moved";
    std::filesystem::create_directory(folder);
    Result<std::optional<trust::Entry>> opened = trust::open_entry(folder);
    ASSERT_TRUE(opened && *opened);
    const trust::OpenedEntry& held = (*opened)->opened;
    EXPECT_EQ(trust::entry_is_at(held, folder).value_or(false), true);
    EXPECT_EQ(trust::entry_is_at(held, dir.path() / "." / "service").value_or(false), true);
    EXPECT_EQ(trust::entry_is_at(held, moved).value_or(true), false);

    std::error_code ec;
    std::filesystem::rename(folder, moved, ec);
    if (ec) GTEST_SKIP() << "the held folder cannot be renamed here (" << ec.message() << "), so it cannot be swapped";
    std::filesystem::create_directory(folder);
    EXPECT_EQ(trust::entry_is_at(held, folder).value_or(true), false) << "another folder in its place";
#ifdef _WIN32
    // Wine's final path of a handle stays the name it was opened with.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) return;
#endif
    EXPECT_EQ(trust::entry_is_at(held, moved).value_or(false), true);
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

constexpr std::string_view REFUSED = "wintun.dll in the data folder differs from the installed one and cannot be replaced: ";

TEST_F(PlaceWintunTest, TheCopyInPlaceIsAlwaysTheInstalledOne) {
    write(source / "wintun.dll", "wintun v1");
    ASSERT_TRUE(detail::place_wintun(source, data));
    EXPECT_EQ(read_file(data / "wintun.dll"), "wintun v1");
    EXPECT_EQ(names_in(data), std::vector<std::string>{"wintun.dll"}) << "no temporary copy left";
    const auto written = std::filesystem::last_write_time(data / "wintun.dll");
    {
        SCOPED_TRACE("an identical copy is left untouched");
        std::filesystem::last_write_time(data / "wintun.dll", written - std::chrono::hours(1));
        ASSERT_TRUE(detail::place_wintun(source, data));
        EXPECT_EQ(std::filesystem::last_write_time(data / "wintun.dll"), written - std::chrono::hours(1));
        EXPECT_TRUE(log.lines().empty());
    }
    struct Case {
        const char* label;
        std::string installed;
        std::string in_place;
        bool read_only = false;
    };
    const Case cases[] = {
        {"another version", "wintun v2", "wintun v1"},
        {"same size, other bytes", "wintun v3", "wintun v2"},
        {"longer than a read", std::string(10000, 'a') + "b", std::string(10000, 'a') + "c"},
        {"empty in place", "wintun", ""},
        {"read-only", "wintun v4", "wintun v3", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        write(source / "wintun.dll", c.installed);
        write(data / "wintun.dll", c.in_place);
        if (c.read_only)
            std::filesystem::permissions(data / "wintun.dll", std::filesystem::perms::owner_write |
                                                                  std::filesystem::perms::group_write |
                                                                  std::filesystem::perms::others_write,
                                         std::filesystem::perm_options::remove);
        LogCapture replaced;
        ASSERT_TRUE(detail::place_wintun(source, data));
        EXPECT_EQ(read_file(data / "wintun.dll"), c.installed);
        EXPECT_EQ(names_in(data), std::vector<std::string>{"wintun.dll"});
        EXPECT_EQ(replaced.lines(),
                  std::vector<std::string>{"ensure_wintun: replaced a copy that differed from the installed one"});
    }
}

TEST_F(PlaceWintunTest, AFolderInPlaceThatCannotBeReplacedRefusesTheStart) {
    write(source / "wintun.dll", "wintun");
    std::filesystem::create_directories(data / "wintun.dll" / "inside");
    const Result<> placed = detail::place_wintun(source, data);
    ASSERT_FALSE(placed);
    EXPECT_TRUE(placed.error().message().starts_with(REFUSED)) << placed.error().message();
    EXPECT_TRUE(std::filesystem::is_directory(data / "wintun.dll" / "inside"));
    EXPECT_EQ(names_in(data), std::vector<std::string>{"wintun.dll"}) << "no temporary copy left";
    EXPECT_EQ(log.lines(), std::vector<std::string>{placed.error().message()});
}

TEST_F(PlaceWintunTest, AComparisonThatFailsIsNeverTakenForAMissingCopy) {
    // The installed one cannot be read to compare (a folder by that name) nor
    // copied: the copy in place is not known to be the installed one.
    std::filesystem::create_directories(source / "wintun.dll");
    write(data / "wintun.dll", "theirs");
    const Result<> placed = detail::place_wintun(source, data);
    ASSERT_FALSE(placed);
    EXPECT_TRUE(placed.error().message().starts_with(REFUSED)) << placed.error().message();
    EXPECT_EQ(read_file(data / "wintun.dll"), "theirs");
}

TEST_F(PlaceWintunTest, MissingSourceIsSilent) {
    ASSERT_TRUE(detail::place_wintun(source, data));
    EXPECT_TRUE(names_in(data).empty());
    write(data / "wintun.dll", "whatever");
    ASSERT_TRUE(detail::place_wintun(source, data));
    EXPECT_EQ(read_file(data / "wintun.dll"), "whatever");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PlaceWintunTest, LeftoverOfACutOffCopyDoesNotStopTheNextOne) {
    write(source / "wintun.dll", "the whole library");
    for (const auto& name : {"wintun.dll.1.tmp", "wintun.dll.99999.tmp"}) write(data / name, "half");
    // This process's own leftover name is overwritten too.
    std::filesystem::path own = data / "wintun.dll";
    own += detail::temporary_copy_suffix();
    write(own, "half");
    ASSERT_TRUE(detail::place_wintun(source, data));
    EXPECT_EQ(read_file(data / "wintun.dll"), "the whole library");
    EXPECT_FALSE(std::filesystem::exists(own));
}

TEST_F(PlaceWintunTest, FailedFirstCopyIsLoggedAndTheStartGoesOn) {
    write(source / "wintun.dll", "wintun");
    const std::filesystem::path missing_folder = data / "not-there";
    EXPECT_TRUE(detail::place_wintun(source, missing_folder));
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

}  // namespace
}  // namespace velmor
