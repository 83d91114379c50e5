// The program folder's check over real folders, where owners and modes are
// enforced. Runs as root, so a folder chowned to nobody is someone else's.

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "trust/file_trust.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor::trust {
namespace {

namespace fs = std::filesystem;

uid_t nobody() {
    const struct passwd* entry = ::getpwnam("nobody");
    return entry != nullptr ? entry->pw_uid : 65534;
}

TEST(FindUnsafePosix, RealOwnersModesAndLinks) {
    struct Case {
        const char* label;
        void (*change)(const fs::path& top);  // top/programs/velmor holds core.so
        std::string unsafe;                    // "{relative path}: {reason}", empty when safe
    };
    const std::string other = std::to_string(nobody());
    const Case cases[] = {
        {"as installed", [](const fs::path&) {}, ""},
        {"an ancestor everyone may add to, with the sticky bit",
         [](const fs::path& top) { ::chmod((top / "programs").c_str(), 01777); }, ""},
        {"an ancestor everyone may add to and delete from",
         [](const fs::path& top) { ::chmod((top / "programs").c_str(), 0777); }, "programs: everyone may change it"},
        {"an ancestor its group may delete from",
         [](const fs::path& top) { ::chmod((top / "programs").c_str(), 0775); }, "programs: group 0 may change it"},
        {"an ancestor someone else owns",
         [](const fs::path& top) { ASSERT_EQ(::chown((top / "programs").c_str(), nobody(), 0), 0); },
         "programs: uid " + other + ", its owner, may change it"},
        {"the program folder everyone may add to, even with the sticky bit",
         [](const fs::path& top) { ::chmod((top / "programs" / "velmor").c_str(), 01777); },
         "programs/velmor: everyone may change it"},
        {"the library everyone may write",
         [](const fs::path& top) { ::chmod((top / "programs" / "velmor" / "core.so").c_str(), 0666); },
         "programs/velmor/core.so: everyone may change it"},
        {"the library someone else owns",
         [](const fs::path& top) { ASSERT_EQ(::chown((top / "programs" / "velmor" / "core.so").c_str(), nobody(), 0), 0); },
         "programs/velmor/core.so: uid " + other + ", its owner, may change it"},
        {"the library a link to a safe file",
         [](const fs::path& top) {
             fs::rename(top / "programs" / "velmor" / "core.so", top / "core.so");
             fs::create_symlink(top / "core.so", top / "programs" / "velmor" / "core.so");
         },
         "programs/velmor/core.so: it is a link or junction"},
        {"an ancestor a link to a safe folder",
         [](const fs::path& top) {
             fs::rename(top / "programs", top / "real");
             fs::create_directory_symlink(top / "real", top / "programs");
         },
         "programs: it is a link or junction"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testing::TempDir dir;
        const fs::path top = dir.path() / "top";
        const fs::path velmor = top / "programs" / "velmor";
        fs::create_directories(velmor);
        std::ofstream(velmor / "core.so") << "core";
        for (const fs::path& path : {top, top / "programs", velmor}) ::chmod(path.c_str(), 0755);
        ::chmod((velmor / "core.so").c_str(), 0755);
        c.change(top);
        const std::optional<Unsafe> unsafe = find_unsafe(velmor, {velmor / "core.so", velmor / "wintun.dll"}, read_entry, true);
        if (c.unsafe.empty()) {
            EXPECT_FALSE(unsafe) << unsafe->path << ": " << unsafe->reason;
            continue;
        }
        ASSERT_TRUE(unsafe);
        EXPECT_EQ(unsafe->path.lexically_relative(top).string() + ": " + unsafe->reason, c.unsafe);
    }
}

}  // namespace
}  // namespace velmor::trust
