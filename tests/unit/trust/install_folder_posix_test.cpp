// The package's check of its folder before the copying, over real folders
// whose owners and modes are enforced (run as root; "nobody" plays the user).

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

constexpr uid_t NOBODY = 65534;
const std::string BY_NOBODY = "uid 65534, its owner, may change it";

void file(const fs::path& at, mode_t mode = 0644, uid_t owner = 0) {
    std::ofstream(at) << "code";
    ::chmod(at.c_str(), mode);
    if (::chown(at.c_str(), owner, 0) != 0) ADD_FAILURE() << "chown " << at;
}

void folder(const fs::path& at, mode_t mode = 0755, uid_t owner = 0) {
    fs::create_directories(at);
    ::chmod(at.c_str(), mode);
    if (::chown(at.c_str(), owner, 0) != 0) ADD_FAILURE() << "chown " << at;
}

TEST(InstallFolder, EmptyOrTrustedThroughoutMadeWhenMissingFailsClosed) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> plant;  // in `top`; the folder checked is top/app
        std::string unsafe;                           // "{path under top}: {reason}", or ""
        bool kept = true;
        const char* refused = "";  // the read (r:), listing (l:) or making (m:) of this path fails
        const char* given = "app";
        bool allowed = false;  // the unsafe-folder allowance
    };
    const Case cases[] = {
        {"missing: made, then judged", [](const fs::path&) {}, ""},
        {"missing with its parent, given as the package gives it", [](const fs::path&) {}, "", true, "", "a/app/."},
        {"empty, ours", [](const fs::path& t) { folder(t / "app"); }, ""},
        // Its owner may hold it open for adding files past every check.
        {"empty, a user's", [](const fs::path& t) { folder(t / "app", 0755, NOBODY); }, "app: " + BY_NOBODY},
        {"empty, anyone may add", [](const fs::path& t) { folder(t / "app", 0777); }, "app: everyone may change it"},
        {"ours throughout",
         [](const fs::path& t) {
             folder(t / "app" / "sub");
             file(t / "app" / "velmor-helper.exe");
             file(t / "app" / "sub" / "old.log");
         },
         ""},
        // Windows Installer keeps a planted file of a higher version.
        {"a user's file deep inside",
         [](const fs::path& t) {
             folder(t / "app" / "sub");
             file(t / "app" / "sub" / "version.dll", 0644, NOBODY);
         },
         "app/sub/version.dll: " + BY_NOBODY},
        {"a file anyone may change",
         [](const fs::path& t) {
             folder(t / "app");
             file(t / "app" / "velmor-ctl.exe", 0666);
         },
         "app/velmor-ctl.exe: everyone may change it"},
        {"a link inside",
         [](const fs::path& t) {
             folder(t / "app");
             fs::create_symlink("/etc", t / "app" / "lib");
         },
         "app/lib: it is a link or junction"},
        {"the folder a link", [](const fs::path& t) { fs::create_directory_symlink(t, t / "app"); },
         "app: it is a link or junction"},
        {"a user's ancestor, the folder missing", [](const fs::path& t) { folder(t / "a", 0755, NOBODY); },
         "a: " + BY_NOBODY, true, "", "a/app"},
        {"no permissions kept: kinds only",
         [](const fs::path& t) {
             folder(t / "app", 0777, NOBODY);
             fs::create_symlink("/etc", t / "app" / "lib");
         },
         "app/lib: it is a link or junction", false},
        // The allowance accepts the folder, never what someone else put inside.
        {"a user's, allowed", [](const fs::path& t) { folder(t / "app", 0777, NOBODY); }, "", true, "", "app", true},
        {"a user's file, allowed",
         [](const fs::path& t) {
             folder(t / "app", 0777, NOBODY);
             file(t / "app" / "velmor-helper.exe", 0644, NOBODY);
         },
         "app/velmor-helper.exe: " + BY_NOBODY, true, "", "app", true},
        {"unreadable", [](const fs::path& t) { folder(t / "app"); }, "app: it cannot be checked: denied", true,
         "r:app"},
        {"unlistable", [](const fs::path& t) { folder(t / "app" / "sub"); },
         "app/sub: it cannot be checked: denied", true, "l:app/sub"},
        {"not made", [](const fs::path&) {}, "app: it cannot be made: denied", true, "m:app"},
        // Made first by someone else between the two looks.
        {"made by a user meanwhile", [](const fs::path&) {}, "app: " + BY_NOBODY, true, "u:app"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        const fs::path top = dir.path() / "top";
        folder(top);
        c.plant(top);
        const std::string refused = c.refused;
        const auto is_refused = [&](char call, const fs::path& at) {
            return !refused.empty() && refused[0] == call && at.lexically_normal() == top / refused.substr(2);
        };
        const InstallFolderAccess access{
            [&](const fs::path& at) -> Result<std::optional<EntryFacts>> {
                if (is_refused('r', at)) return fail("denied");
                return read_entry(at);
            },
            [&](const fs::path& at) -> Result<std::vector<fs::path>> {
                if (is_refused('l', at)) return fail("denied");
                return list_folder(at);
            },
            [&](const fs::path& at) -> Result<> {
                if (is_refused('m', at)) return fail("denied");
                folder(at, 0755, is_refused('u', at) ? NOBODY : 0);
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
