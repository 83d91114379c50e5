// The package's check of its folder before the copying, over real folders
// whose owners and modes are enforced (run as root; uid 65534 plays the user).

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "trust/entry.hpp"
#include "trust/install_folder.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor::trust {
namespace {

namespace fs = std::filesystem;

// One entry under `top`: "x/" a folder, "x>" a link, "x" a file; mode 0755,
// owned by root unless `user`.
struct Plant {
    std::string entry;
    bool user = false;
};

void plant(const fs::path& top, const Plant& p) {
    const char kind = p.entry.back();
    const fs::path at = top / p.entry.substr(0, p.entry.size() - (kind == '/' || kind == '>' ? 1 : 0));
    fs::create_directories(at.parent_path());
    if (kind == '>') return fs::create_symlink("/etc", at);
    kind == '/' ? (void)fs::create_directory(at) : (void)(std::ofstream(at) << "code");
    if (::chmod(at.c_str(), 0755) != 0 || ::chown(at.c_str(), p.user ? 65534 : 0, 0) != 0) ADD_FAILURE() << at;
}

TEST(InstallFolder, EmptyOrTrustedThroughoutMadeWhenMissingFailsClosed) {
    const std::string BY_USER = "uid 65534, its owner, may change it";
    struct Case {
        const char* name;
        std::vector<Plant> planted;
        std::string unsafe;  // "{path under top}: {reason}", or ""
        const char* given = "app";
        bool kept = true, allowed = false;  // permissions kept; the unsafe-folder allowance
        const char* refused = "";  // the read (r:), listing (l:) or making (m:) of this path fails; u: a user makes it
    };
    const Case cases[] = {
        {"missing with its parent, given as the package gives it", {}, "", "a/app/."},
        {"ours throughout", {{"app/sub/"}, {"app/velmor-helper.exe"}, {"app/sub/old.log"}}, ""},
        // Its owner may hold it open for adding files past every check.
        {"empty, a user's", {{"app/", true}}, "app: " + BY_USER},
        // Windows Installer keeps a planted file of a higher version.
        {"a user's file deep inside", {{"app/sub/version.dll", true}}, "app/sub/version.dll: " + BY_USER},
        {"a user's ancestor, the folder missing", {{"a/", true}}, "a: " + BY_USER, "a/app"},
        {"no permissions kept: kinds only", {{"app/", true}, {"app/lib>"}}, "app/lib: it is a link or junction", "app",
         false},
        // The allowance accepts the folder, never what someone else put inside.
        {"a user's, allowed", {{"app/", true}}, "", "app", true, true},
        {"a user's file, allowed", {{"app/", true}, {"app/velmor-helper.exe", true}},
         "app/velmor-helper.exe: " + BY_USER, "app", true, true},
        {"unreadable", {{"app/"}}, "app: it cannot be checked: denied", "app", true, false, "r:app"},
        {"unlistable", {{"app/sub/"}}, "app/sub: it cannot be checked: denied", "app", true, false, "l:app/sub"},
        {"not made", {}, "app: it cannot be made: denied", "app", true, false, "m:app"},
        {"made by a user between the two looks", {}, "app: " + BY_USER, "app", true, false, "u:app"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        const fs::path top = dir.path() / "top";
        plant(dir.path(), {"top/"});
        for (const Plant& p : c.planted) plant(top, p);
        const std::string refused = c.refused;
        const auto is = [&](char call, const fs::path& at) {
            return !refused.empty() && refused[0] == call && at.lexically_normal() == top / refused.substr(2);
        };
        const InstallFolderAccess access{
            [&](const fs::path& at) { return is('r', at) ? fail("denied") : read_entry(at); },
            [&](const fs::path& at) { return is('l', at) ? fail("denied") : list_folder(at); },
            [&](const fs::path& at) -> Result<> {
                if (is('m', at)) return fail("denied");
                plant(top, {at.lexically_relative(top).string() + "/", is('u', at)});
                return {};
            },
        };
        const std::optional<Unsafe> unsafe = find_unsafe_install_folder(top / c.given, access, c.kept, c.allowed);
        EXPECT_EQ(unsafe ? unsafe->path.lexically_relative(top).string() + ": " + unsafe->reason +
                               (unsafe->cause ? ": " + unsafe->cause->message() : "")
                         : "",
                  c.unsafe);
        if (c.unsafe.empty()) {
            EXPECT_TRUE(fs::is_directory(fs::symlink_status(top / c.given)));
        }
    }
}

}  // namespace
}  // namespace velmor::trust
