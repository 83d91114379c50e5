// The POSIX reader over real folders, where owners and modes are enforced.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "core/program_trust.hpp"
#include "trust/entry.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor::trust {
namespace {

using velmor::find_unsafe_program_files;

namespace fs = std::filesystem;

TEST(FindUnsafePosix, ModesAndLinks) {
    struct Case {
        const char* part;  // under top/a/b, whose file is core.so
        mode_t mode;       // 0: made a link to a copy of itself
        std::string unsafe;
    };
    const Case cases[] = {
        {"a", 01777, ""},  // others may add entries, not remove ours
        {"a", 0777, "a: everyone may change it"},
        {"a", 0775, "a: group 0 may change it"},
        {"a/b", 01777, "a/b: everyone may change it"},
        {"a/b/core.so", 0664, "a/b/core.so: group 0 may change it"},
        {"a", 0, "a: it is a link or junction"},
        {"a/b/core.so", 0, "a/b/core.so: it is a link or junction"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.part) + " " + std::to_string(c.mode));
        testing::TempDir dir;
        const fs::path top = dir.path() / "top";
        fs::create_directories(top / "a" / "b");
        std::ofstream(top / "a" / "b" / "core.so") << "core";
        for (const char* part : {"", "a", "a/b", "a/b/core.so"}) ::chmod((top / part).c_str(), 0755);
        const fs::path changed = top / c.part;
        if (c.mode != 0) {
            ::chmod(changed.c_str(), c.mode);
        } else {
            fs::copy(changed, top / "copy", fs::copy_options::recursive);
            fs::remove_all(changed);
            fs::create_symlink(top / "copy", changed);
        }
        const std::optional<Unsafe> unsafe = find_unsafe(top / "a" / "b", {top / "a" / "b" / "core.so"}, read_entry, true);
        EXPECT_EQ(unsafe ? unsafe->path.lexically_relative(top).string() + ": " + unsafe->reason : "", c.unsafe);
    }

    // The program folder's own files: the executable by its name and every
    // library there, since the loader resolves the core library's imports
    // from that folder first; an executable path that cannot be read fails
    // closed.
    struct Program {
        const char* file;  // made in the folder with `mode`
        mode_t mode;
        bool exe_readable;
        std::string unsafe;  // with the cause, if any
    };
    const Program programs[] = {
        {"libother.so", 0664, true, "libother.so: group 0 may change it"},
        {"LIBOTHER.SO", 0666, true, "LIBOTHER.SO: everyone may change it"},
        {"notes.txt", 0666, true, ""},
        {"velmor-helper", 0666, true, "velmor-helper: everyone may change it"},
        {"libother.so", 0644, false, ".: it cannot be checked: current_exe"},
    };
    for (const Program& c : programs) {
        SCOPED_TRACE(c.file);
        testing::TempDir dir;
        const fs::path folder = dir.path() / "program";
        fs::create_directories(folder);
        for (const fs::path& file : {folder / "velmor-helper", folder / c.file}) std::ofstream(file) << "code";
        ::chmod(folder.c_str(), 0755);
        ::chmod((folder / "velmor-helper").c_str(), 0755);
        ::chmod((folder / c.file).c_str(), c.mode);
        const Result<fs::path> exe = c.exe_readable ? Result<fs::path>(folder / "velmor-helper") : fail("current_exe");
        const std::optional<Unsafe> unsafe = find_unsafe_program_files(folder, exe, read_entry, true);
        EXPECT_EQ(unsafe ? unsafe->path.lexically_relative(folder).string() + ": " + unsafe->reason +
                               (unsafe->cause ? ": " + unsafe->cause->message() : "")
                         : "",
                  c.unsafe);
    }
}

}  // namespace
}  // namespace velmor::trust
