// The POSIX reader over real folders, where owners and modes are enforced.

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "trust/entry.hpp"
#include "trust/program_files.hpp"
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
        const std::optional<Unsafe> unsafe = find_unsafe_program_files(folder, exe, "libclash_ffi.so", read_entry, true);
        EXPECT_EQ(unsafe ? unsafe->path.lexically_relative(folder).string() + ": " + unsafe->reason +
                               (unsafe->cause ? ": " + unsafe->cause->message() : "")
                         : "",
                  c.unsafe);
    }
}

// A check run in a forked child as nobody (when the tests run as root), so that refusals for lack of access
// are real; nothing comes back from a child that could not drop or did not finish, and its row fails.
std::optional<std::string> as_nobody(const std::function<std::string()>& check) {
    const passwd* nobody = ::getpwnam("nobody");
    int out[2];
    if (nobody == nullptr || ::pipe(out) != 0) return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgroups(0, nullptr) || ::setgid(nobody->pw_gid) || ::setuid(nobody->pw_uid)))
            ::_exit(2);
        const std::string text = check();
        ::_exit(::geteuid() != 0 && ::write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 3);
    }
    ::close(out[1]);
    std::string text(4096, '\0');
    const ssize_t n = child > 0 ? ::read(out[0], text.data(), text.size()) : -1;
    ::close(out[0]);
    int status = 0;
    if (n < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text.substr(0, static_cast<std::size_t>(n));
}

// As nobody, where refusals are real: an entry that cannot be opened is an error, never missing (a file
// allowed to be missing would be skipped); a folder that cannot be listed is refused; a refused set-aside fails.
TEST(EntryAsNobody, ARefusalIsAnErrorNeverMissingOrDone) {
    testing::TempDir dir;
    const fs::path shut = dir.path() / "shut", unlisted = dir.path() / "unlisted", fixed = dir.path() / "fixed";
    for (const auto& [folder, mode] : {std::pair{shut, 0}, {unlisted, 0111}, {fixed, 0755}}) {
        fs::create_directories(folder);
        std::ofstream(folder / "core.so") << "core";
        ::chmod((folder / "core.so").c_str(), 0644);
        ::chmod(folder.c_str(), static_cast<mode_t>(mode));
    }
    ::chmod(dir.path().c_str(), 0755);
    const auto code = [](const Error& error) { return "error " + std::to_string(error.system_code().value_or(0)); };
    const auto unsafe_text = [&](const std::optional<Unsafe>& unsafe) -> std::string {
        return unsafe ? unsafe->path.lexically_relative(dir.path()).string() + ": " + unsafe->reason +
                            (unsafe->cause ? ": " + unsafe->cause->message() : "")
                      : "safe";
    };
    const std::pair<std::function<std::string()>, std::string> rows[] = {
        {[&] { auto r = open_entry(shut / "core.so"); return r ? (*r ? "opened" : "missing") : code(r.error()); }, "error 13"},
        {[&] { return unsafe_text(find_unsafe(shut, {shut / "core.so"}, read_entry, true)); },
         "shut/core.so: it cannot be checked: open failed: 13"},
        {[&] { return unsafe_text(find_unsafe_program_files(unlisted, Result<fs::path>(unlisted / "core.so"), "libclash_ffi.so", read_entry, true)); },
         "unlisted: it cannot be checked: cannot list it"},
        {[&] { auto r = set_entry_aside(fixed / "core.so"); return r ? "set aside" : code(r.error()); }, "error 13"},
    };
    for (const auto& [check, expected] : rows)
        EXPECT_EQ(as_nobody(check).value_or("no answer from the unprivileged child"), expected);
    for (const fs::path& folder : {shut, unlisted}) ::chmod(folder.c_str(), 0755);
}

}  // namespace
}  // namespace velmor::trust
