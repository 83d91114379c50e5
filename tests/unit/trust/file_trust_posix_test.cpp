// The POSIX reader over real folders, where owners and modes are enforced.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "trust/file_trust.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor::trust {
namespace {

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
}

}  // namespace
}  // namespace velmor::trust
