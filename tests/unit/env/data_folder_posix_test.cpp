// Preparing the data folder with the POSIX analogue of the Windows
// descriptor (owner and mode bits, which are enforced here): what is set
// aside, what is logged, and when the start is refused. Runs as root, so a
// folder chowned to another user is someone else's.

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "env/data_folder.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

using testing::LogCapture;
using testing::read_file;
using testing::TempDir;
namespace fs = std::filesystem;

uid_t nobody() {
    const struct passwd* entry = ::getpwnam("nobody");
    return entry != nullptr ? entry->pw_uid : 65534;
}

void chown_to_nobody(const fs::path& path) { ASSERT_EQ(::lchown(path.c_str(), nobody(), static_cast<gid_t>(-1)), 0); }

// The names in `folder`, set-aside names with their time cut off.
std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(std::regex_replace(entry.path().filename().string(), std::regex("untrusted-[0-9]+"), "untrusted-T"));
    std::sort(names.begin(), names.end());
    return names;
}

// A log line with its paths written as {velmor}, {service}, {log} and the
// set-aside times cut off.
std::string shown(std::string line, const fs::path& base) {
    line = std::regex_replace(line, std::regex("untrusted-[0-9]+"), "untrusted-T");
    for (const auto& [name, path] : {std::pair{"{log}", base / "Velmor" / "service" / "log"},
                                     std::pair{"{service}", base / "Velmor" / "service"},
                                     std::pair{"{velmor}", base / "Velmor"}}) {
        for (std::size_t at; (at = line.find(path.string())) != std::string::npos;)
            line.replace(at, path.string().size(), name);
    }
    return line;
}

// Someone else's folder with a file and a link planted inside.
void plant_inside(const fs::path& folder, const fs::path& elsewhere) {
    std::ofstream(folder / "wintun.dll") << "planted";
    fs::create_directory_symlink(elsewhere, folder / "link");
}

TEST(PrepareDataFolder, UnsafeFoldersAreSetAsideNeverRepaired) {
    struct Case {
        const char* label;
        void (*plant)(const fs::path& base, const fs::path& elsewhere);
        std::vector<std::string> lines;
        std::vector<std::string> velmor_names;  // what Velmor holds afterwards
    };
    const std::vector<std::string> fresh = {"service"};
    const Case cases[] = {
        {"a clean base", [](const auto&, const auto&) {}, {}, fresh},
        {"folders already safe",
         [](const auto& base, const auto&) { fs::create_directories(base / "Velmor" / "service" / "log"); }, {}, fresh},
        {"service owned by another user, with a file and a link inside",
         [](const auto& base, const auto& elsewhere) {
             fs::create_directories(base / "Velmor" / "service");
             plant_inside(base / "Velmor" / "service", elsewhere);
             chown_to_nobody(base / "Velmor" / "service");
         },
         {"data folder: set aside {service} as {service}.untrusted-T: uid " + std::to_string(nobody()) + ", its owner, may change it"},
         {"service", "service.untrusted-T"}},
        {"Velmor writable by its group",
         [](const auto& base, const auto& elsewhere) {
             fs::create_directories(base / "Velmor" / "service");
             plant_inside(base / "Velmor" / "service", elsewhere);
             ::chmod((base / "Velmor").c_str(), 0775);
         },
         {"data folder: set aside {velmor} as {velmor}.untrusted-T: group 0 may change it"},
         fresh},
        {"service writable by everyone",
         [](const auto& base, const auto&) {
             fs::create_directories(base / "Velmor" / "service");
             ::chmod((base / "Velmor" / "service").c_str(), 0777);
         },
         {"data folder: set aside {service} as {service}.untrusted-T: everyone may change it"},
         {"service", "service.untrusted-T"}},
        {"a link in place of Velmor",
         [](const auto& base, const auto& elsewhere) {
             fs::create_directories(base);
             fs::create_directory_symlink(elsewhere, base / "Velmor");
         },
         {"data folder: set aside {velmor} as {velmor}.untrusted-T: a link"},
         fresh},
        {"a link in place of service",
         [](const auto& base, const auto& elsewhere) {
             fs::create_directories(base / "Velmor");
             fs::create_directory_symlink(elsewhere, base / "Velmor" / "service");
         },
         {"data folder: set aside {service} as {service}.untrusted-T: a link"},
         {"service", "service.untrusted-T"}},
        {"a file in place of service",
         [](const auto& base, const auto&) {
             fs::create_directories(base / "Velmor");
             std::ofstream(base / "Velmor" / "service") << "x";
         },
         {"data folder: set aside {service} as {service}.untrusted-T: not a folder"},
         {"service", "service.untrusted-T"}},
        {"a link in place of log: set aside, not made again",
         [](const auto& base, const auto& elsewhere) {
             fs::create_directories(base / "Velmor" / "service");
             fs::create_directory_symlink(elsewhere, base / "Velmor" / "service" / "log");
         },
         {"data folder: set aside {log} as {log}.untrusted-T: a link"},
         fresh},
        {"a log folder owned by another user",
         [](const auto& base, const auto&) {
             fs::create_directories(base / "Velmor" / "service" / "log");
             chown_to_nobody(base / "Velmor" / "service" / "log");
         },
         {"data folder: set aside {log} as {log}.untrusted-T: uid " + std::to_string(nobody()) + ", its owner, may change it"},
         fresh},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const fs::path base = dir.path() / "ProgramData";
        const fs::path elsewhere = dir.path() / "elsewhere";
        fs::create_directories(elsewhere);
        std::ofstream(elsewhere / "theirs.txt") << "theirs";
        c.plant(base, elsewhere);
        const fs::path service = base / "Velmor" / "service";

        LogCapture log;

        const Result<PreparedDataFolder> prepared = prepare_data_folder(service);
        ASSERT_TRUE(prepared) << prepared.error().full_description();
        std::vector<std::string> lines;
        for (const std::string& line : log.lines()) lines.push_back(shown(line, base));
        EXPECT_EQ(lines, c.lines);

        for (const fs::path& folder : {base / "Velmor", service}) {
            struct stat info{};
            ASSERT_EQ(::lstat(folder.c_str(), &info), 0) << folder;
            EXPECT_TRUE(S_ISDIR(info.st_mode)) << folder;
            EXPECT_EQ(info.st_mode & 022, 0u) << folder;
            EXPECT_EQ(info.st_uid, 0u) << folder;
        }
        EXPECT_EQ(names_in(base / "Velmor"), c.velmor_names);
        EXPECT_FALSE(fs::exists(service / "wintun.dll")) << "nothing of theirs in the folder used";
        EXPECT_FALSE(fs::is_symlink(service / "log"));
        // What was planted is set aside as it was: nothing opened, followed
        // or removed.
        for (const auto& entry : fs::recursive_directory_iterator(base)) {
            if (entry.path().filename() == "wintun.dll") {
                EXPECT_EQ(read_file(entry.path()), "planted");
            }
            if (entry.path().filename() == "link") {
                EXPECT_TRUE(fs::is_symlink(entry.path()));
            }
        }
        EXPECT_EQ(names_in(elsewhere), std::vector<std::string>{"theirs.txt"}) << "the links' target is untouched";

        SCOPED_TRACE("a second preparation finds everything safe");
        LogCapture again;
        ASSERT_TRUE(prepare_data_folder(service));
        EXPECT_TRUE(again.lines().empty());
    }
}

TEST(PrepareDataFolder, WhatCannotBeMadeSafeRefusesTheStart) {
    struct Case {
        const char* label;
        std::function<void(const fs::path& service)> plant;
        detail::SetAsideObserver race;  // what a racing user does at a step of the set-aside
        std::string error;  // with {service} for the path; a prefix when it ends in "…"
    };
    const auto link_back = [](detail::SetAsideStep step, const fs::path& folder, const fs::path&) {
        if (step == detail::SetAsideStep::AfterRename) fs::create_directory_symlink("/tmp", folder);
    };
    const auto plant_link = [](const fs::path& service) { fs::create_directory_symlink("/tmp", service); };
    const Case cases[] = {
        {"the set-aside name taken just before the rename", [](const fs::path& service) {
             fs::create_directory(service);
             chown_to_nobody(service);
         },
         [](detail::SetAsideStep step, const fs::path&, const fs::path& aside) {
             if (step != detail::SetAsideStep::BeforeRename) return;
             fs::create_directory(aside);
             std::ofstream(aside / "x") << "x";
         },
         "data folder is not safe: {service}: cannot set it aside (uid " + std::to_string(nobody()) +
             ", its owner, may change it): renameat2 failed: 17: …"},
        {"replaced by another folder between check and rename", [](const fs::path& service) {
             fs::create_directory(service);
             ::chmod(service.c_str(), 0777);
         },
         [](detail::SetAsideStep step, const fs::path& folder, const fs::path&) {
             if (step != detail::SetAsideStep::BeforeRename) return;
             fs::rename(folder, fs::path(folder.native() + ".old"));
             fs::create_directory(folder);
         },
         "data folder is not safe: {service}: cannot set it aside (everyone may change it): replaced while it was "
         "being checked"},
        // Fail closed: the folder held is not the one the core would be given.
        {"swapped for another folder once held", [](const fs::path&) {},
         [](detail::SetAsideStep step, const fs::path& folder, const fs::path&) {
             if (step != detail::SetAsideStep::Held) return;
             fs::rename(folder, fs::path(folder.native() + ".old"));
             fs::create_directory(folder);
         },
         "data folder is not safe: {service}: the folder opened is not the one its path names"},
        {"a link put back after every set-aside", plant_link, link_back,
         "data folder is not safe: {service}: something was put back in its place every time it was set aside"},
        {"the base folder a file: nothing can be opened there", [](const fs::path& service) {
             fs::remove_all(service.parent_path().parent_path());
             std::ofstream(service.parent_path().parent_path()) << "x";
         },
         nullptr, "data folder is not safe: {velmor}: open failed: 20: …"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const fs::path service = dir.path() / "base" / "Velmor" / "service";
        fs::create_directories(service.parent_path());
        c.plant(service);
        LogCapture log;
        const Result<PreparedDataFolder> prepared = detail::prepare_data_folder_with(service, c.race);
        ASSERT_FALSE(prepared);
        std::string expected = c.error;
        for (const auto& [name, path] : {std::pair{"{service}", service}, std::pair{"{velmor}", service.parent_path()}})
            if (const std::size_t at = expected.find(name); at != std::string::npos)
                expected.replace(at, std::string(name).size(), path.string());
        const std::string& message = prepared.error().message();
        if (expected.ends_with("…")) {
            expected.resize(expected.size() - std::string("…").size());
            EXPECT_TRUE(message.starts_with(expected)) << message;
        } else {
            EXPECT_EQ(message, expected);
        }
        EXPECT_TRUE(log.contains(message)) << "logged as replied";
    }
    {
        SCOPED_TRACE("a link put back once is set aside again and the start goes on");
        TempDir dir;
        const fs::path service = dir.path() / "Velmor" / "service";
        fs::create_directories(service.parent_path());
        plant_link(service);
        int rounds = 0;
        const auto race = [&](detail::SetAsideStep step, const fs::path& folder, const fs::path& aside) {
            if (rounds++ < 2) link_back(step, folder, aside);
        };
        LogCapture log;
        const Result<PreparedDataFolder> prepared = detail::prepare_data_folder_with(service, race);
        ASSERT_TRUE(prepared) << prepared.error().message();
        EXPECT_EQ(log.lines().size(), 2u);
        EXPECT_EQ(names_in(service.parent_path()),
                  (std::vector<std::string>{"service", "service.untrusted-T", "service.untrusted-T"}));
        EXPECT_FALSE(fs::is_symlink(service));
    }
}

// `Velmor` made by someone else and held so that it cannot be set aside:
// reset in place when only its owner and mode are wrong, refused otherwise.
TEST(PrepareDataFolder, AVelmorThatCannotBeSetAsideIsResetInPlaceOrRefused) {
    // The set-aside name taken just before the rename: the rename fails as
    // a held folder's does on Windows.
    const auto block = [](detail::SetAsideStep step, const fs::path& folder, const fs::path& aside) {
        if (step == detail::SetAsideStep::BeforeRename && folder.filename() == "Velmor") std::ofstream(aside) << "x";
    };
    const std::string refused = "data folder is not safe: {velmor}: cannot set it aside (";
    const auto open_to_all = [](const fs::path& velmor) {
        fs::create_directory(velmor);
        ::chmod(velmor.c_str(), 0777);
    };
    struct Case {
        const char* label;
        std::function<void(const fs::path& velmor)> plant;
        detail::SetAsideObserver race;
        std::string outcome;  // the log line of a reset, or the refusal's start
    };
    const Case cases[] = {
        {"someone else's, open to all: reset",
         [&](const fs::path& velmor) {
             open_to_all(velmor);
             chown_to_nobody(velmor);
         },
         block,
         "data folder: reset the owner and DACL of {velmor} in place (uid " + std::to_string(nobody()) +
             ", its owner, may change it): it cannot be set aside: renameat2 failed: 17: "},
        {"not a folder: refused", [](const fs::path& velmor) { std::ofstream(velmor) << "x"; }, block,
         refused + "not a folder): renameat2 failed: 17: "},
        {"replaced before the reset: refused", open_to_all,
         [&](detail::SetAsideStep step, const fs::path& folder, const fs::path& aside) {
             if (step != detail::SetAsideStep::BeforeRename) return;
             fs::rename(folder, fs::path(folder.native() + ".old"));
             fs::create_directory(folder);
             block(step, folder, aside);
         },
         refused + "everyone may change it): replaced while it was being checked; cannot reset its owner and DACL: "
                   "replaced while it was being checked"},
        // A handle its maker kept may change the DACL again at once.
        {"opened up again right after the reset: refused", open_to_all,
         [&](detail::SetAsideStep step, const fs::path& folder, const fs::path& aside) {
             block(step, folder, aside);
             if (step == detail::SetAsideStep::AfterRepair) ::chmod(folder.c_str(), 0777);
         },
         "data folder is not safe: {velmor}: still not safe once its owner and DACL were reset: everyone may change it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const fs::path base = dir.path() / "ProgramData";
        fs::create_directories(base);
        c.plant(base / "Velmor");
        const fs::path service = base / "Velmor" / "service";
        LogCapture log;
        const Result<PreparedDataFolder> prepared = detail::prepare_data_folder_with(service, c.race);
        if (!c.outcome.starts_with("data folder: reset")) {
            ASSERT_FALSE(prepared);
            EXPECT_TRUE(shown(prepared.error().message(), base).starts_with(c.outcome)) << prepared.error().message();
            continue;
        }
        ASSERT_TRUE(prepared) << prepared.error().full_description();
        ASSERT_FALSE(log.lines().empty());
        EXPECT_TRUE(shown(log.lines()[0], base).starts_with(c.outcome)) << log.lines()[0];
        struct stat info{};
        ASSERT_EQ(::lstat((base / "Velmor").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0755u);
        EXPECT_EQ(info.st_uid, ::geteuid());
        EXPECT_TRUE(fs::is_directory(service));
    }
}

}  // namespace
}  // namespace velmor
