#include <gtest/gtest.h>

#include <fstream>

#include "base/win.hpp"
#include "env/data_folder.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

TEST(DataFolderWin32, FileLockedAgainstEveryOpenStillCountsAsPresent) {
    testing::TempDir dir;
    const std::filesystem::path source = dir.path() / "exe";
    const std::filesystem::path data = dir.path() / "data";
    std::filesystem::create_directories(source);
    std::filesystem::create_directories(data);
    std::ofstream(source / "wintun.dll", std::ios::binary) << "new";
    std::ofstream(data / "wintun.dll", std::ios::binary) << "in use";

    // Opened without any sharing, as a loader might hold it.
    const unique_handle held = adopt_file_handle(CreateFileW((data / "wintun.dll").c_str(), GENERIC_READ, 0, nullptr,
                                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    EXPECT_TRUE(detail::path_metadata_readable(data / "wintun.dll"));
    detail::place_wintun(source, data);
    EXPECT_FALSE(detail::path_metadata_readable(data / "absent.dll"));

    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(data)) ++entries;
    EXPECT_EQ(entries, 1u) << "no copy was attempted";
}

TEST(DataFolderWin32, RelativeAndRootedFolders) {
    testing::TempDir dir;
    // A relative folder resolves against the current folder, as an empty
    // ProgramData makes it.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    EXPECT_TRUE(create_folder_all(L"Velmor\\service"));
    std::filesystem::current_path(previous);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Velmor" / "service"));
    // A drive root exists already.
    EXPECT_TRUE(create_folder_all(dir.path().root_path()));
}

}  // namespace
}  // namespace velmor
