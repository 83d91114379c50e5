// Preparing the data folder with the POSIX analogue of the Windows
// descriptor (owner and mode bits): the flow that decides what is logged
// and when a Wintun copy in place is no longer trusted.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "env/data_folder.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

using testing::LogCapture;
using testing::read_file;
using testing::TempDir;

mode_t mode_of(const std::filesystem::path& path) {
    struct stat info{};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

TEST(PrepareDataFolder, WhatIsFoundDecidesWhatIsLoggedAndTrusted) {
    struct Case {
        const char* label;
        void (*plant)(const std::filesystem::path& base, const std::filesystem::path& elsewhere);
        std::vector<std::string> lines;  // with {velmor}, {service}, {log} for the paths
        bool untrusted;
    };
    const Case cases[] = {
        {"a clean base", [](const auto&, const auto&) {}, {}, false},
        {"folders already safe",
         [](const auto& base, const auto&) { std::filesystem::create_directories(base / "Velmor" / "service" / "log"); },
         {},
         false},
        {"service writable by everyone",
         [](const auto& base, const auto&) {
             std::filesystem::create_directories(base / "Velmor" / "service");
             ::chmod((base / "Velmor" / "service").c_str(), 0777);
         },
         {"data folder: repaired unsafe permissions on {service}"},
         true},
        {"Velmor writable by its group",
         [](const auto& base, const auto&) {
             std::filesystem::create_directories(base / "Velmor");
             ::chmod((base / "Velmor").c_str(), 0775);
         },
         {"data folder: repaired unsafe permissions on {velmor}"},
         true},
        {"a link in place of service",
         [](const auto& base, const auto& elsewhere) {
             std::filesystem::create_directories(base / "Velmor");
             std::filesystem::create_directory_symlink(elsewhere, base / "Velmor" / "service");
         },
         {"data folder: removed a link in place of {service}"},
         true},
        {"a link in place of Velmor",
         [](const auto& base, const auto& elsewhere) {
             std::filesystem::create_directories(base);
             std::filesystem::create_directory_symlink(elsewhere, base / "Velmor");
         },
         {"data folder: removed a link in place of {velmor}"},
         true},
        {"a dangling link in place of log, an unsafe log folder is not",
         [](const auto& base, const auto&) {
             std::filesystem::create_directories(base / "Velmor" / "service");
             std::filesystem::create_directory_symlink(base / "nowhere", base / "Velmor" / "service" / "log");
         },
         {"data folder: removed a link in place of {log}"},
         false},
        {"an unsafe log folder",
         [](const auto& base, const auto&) {
             std::filesystem::create_directories(base / "Velmor" / "service" / "log");
             ::chmod((base / "Velmor" / "service" / "log").c_str(), 0777);
         },
         {"data folder: repaired unsafe permissions on {log}"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::filesystem::path base = dir.path() / "ProgramData";
        const std::filesystem::path elsewhere = dir.path() / "elsewhere";
        std::filesystem::create_directories(elsewhere);
        std::ofstream(elsewhere / "theirs.txt") << "theirs";
        c.plant(base, elsewhere);
        const std::filesystem::path service = base / "Velmor" / "service";

        LogCapture log;
        const Result<DataFolderReport> report = prepare_data_folder(service);
        ASSERT_TRUE(report) << report.error().full_description();
        EXPECT_EQ(report->untrusted, c.untrusted);
        EXPECT_EQ(report->wintun_placement(),
                  c.untrusted ? WintunPlacement::ReplaceExisting : WintunPlacement::KeepExisting);

        for (const std::filesystem::path& folder : {base / "Velmor", service}) {
            const mode_t mode = mode_of(folder);
            EXPECT_TRUE(S_ISDIR(mode)) << folder;
            EXPECT_EQ(mode & 022, 0u) << folder;
        }
        EXPECT_FALSE(std::filesystem::is_symlink(service / "log"));
        EXPECT_EQ(read_file(elsewhere / "theirs.txt"), "theirs") << "the link's target is untouched";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(elsewhere), {}), 1);

        std::vector<std::string> expected;
        for (std::string line : c.lines) {
            for (const auto& [name, path] : {std::pair{"{velmor}", base / "Velmor"}, std::pair{"{service}", service},
                                             std::pair{"{log}", service / "log"}}) {
                if (const std::size_t at = line.find(name); at != std::string::npos)
                    line.replace(at, std::string(name).size(), path.string());
            }
            expected.push_back(line);
        }
        EXPECT_EQ(log.lines(), expected);

        SCOPED_TRACE("a second preparation finds everything safe");
        LogCapture again;
        const Result<DataFolderReport> second = prepare_data_folder(service);
        ASSERT_TRUE(second);
        EXPECT_FALSE(second->untrusted);
        EXPECT_TRUE(again.lines().empty());
    }
}

}  // namespace
}  // namespace velmor
