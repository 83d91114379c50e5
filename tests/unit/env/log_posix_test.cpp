#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "env/log.hpp"
#include "env/log_writer.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

// Once the sink finds standard error closed it echoes no more; a file that a
// later open is given descriptor 2 for must not receive log lines. Run in a
// child process, since the sink's finding lasts for the process.
TEST(LogEcho, ClosedStandardErrorStaysUnused) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("velmor-echo-" + std::to_string(::getpid()));
    EXPECT_EXIT(
        {
            ::close(2);
            log_message("first line, with standard error closed");
            const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
            if (fd != 2) std::_Exit(3);  // the test needs descriptor 2 reused
            log_message("second line");
            std::_Exit(std::filesystem::file_size(file) == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::filesystem::remove(file);
}

std::string read_all(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A log file or rotated file that anyone but root and this user may open,
// or that is a link, is set aside with a line saying why; a new log file is
// made for this user alone. A rotated file whose check fails counts as unsafe.
TEST(LogWriterPosix, FilesOthersMayOpenAreSetAside) {
    struct Case {
        const char* name;  // the file found: "velmor-helper.log" or ".1"
        mode_t mode;       // 0: a link to a file of mode 0600
        uid_t owner;
        std::string notice;  // after "log: ", up to the aside's name; "" when kept
        std::string reason;
    };
    const std::string LOG = "velmor-helper.log";
    const std::string TOO_LONG(254, 'v');  // its ".1" is a name too long to check
    const Case cases[] = {
        {"velmor-helper.log", 0600, 0, "", ""},
        {"velmor-helper.log", 0644, 0, "set aside velmor-helper.log as velmor-helper.log.untrusted-", "everyone may open it"},
        {"velmor-helper.log", 0620, 0, "set aside velmor-helper.log as velmor-helper.log.untrusted-", "group 0 may open it"},
        {"velmor-helper.log", 0600, 65534, "set aside velmor-helper.log as velmor-helper.log.untrusted-",
         "uid 65534, its owner, may change it"},
        {"velmor-helper.log", 0, 0, "set aside velmor-helper.log as velmor-helper.log.untrusted-", "it is a link"},
        {"velmor-helper.log.1", 0640, 0, "set aside velmor-helper.log.1 as velmor-helper.log.1.untrusted-",
         "group 0 may open it"},
        {"", 0, 0, "cannot set aside " + TOO_LONG + ".1 (it cannot be checked: open failed: 36: File name too long", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.notice + c.reason);
        testing::TempDir dir;
        const std::filesystem::path log = dir.path() / (*c.name ? LOG : TOO_LONG);
        const std::filesystem::path found = dir.path() / c.name;
        if (*c.name) {
            const std::filesystem::path target = c.mode == 0 ? dir.path() / "elsewhere" : found;
            std::ofstream(target) << "found\n";
            ::chmod(target.c_str(), c.mode == 0 ? 0600 : c.mode);
            ASSERT_EQ(::chown(target.c_str(), c.owner, 0), 0);
            if (c.mode == 0) std::filesystem::create_symlink(target, found);
        }
        {
            LogWriter writer(log);
            writer.write_line("line\n");
        }
        std::string text = read_all(log);
        // Paths shown relative to the folder; the aside's time left out.
        for (std::size_t at; (at = text.find(dir.path().string() + "/")) != std::string::npos;)
            text.erase(at, dir.path().string().size() + 1);
        struct stat made {};
        ASSERT_EQ(::lstat(log.c_str(), &made), 0);
        EXPECT_EQ(made.st_mode & 07777, 0600u);
        if (c.notice.empty()) {
            EXPECT_EQ(text, "found\nline\n");
            continue;
        }
        const std::size_t at = text.find("] log: " + c.notice);
        ASSERT_NE(at, std::string::npos) << text;
        EXPECT_TRUE(text.ends_with(": " + c.reason + "\n" + "line\n") || c.reason.empty()) << text;
        EXPECT_TRUE(text.ends_with("\nline\n")) << text;
        std::size_t asides = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().filename().string().find(".untrusted-") != std::string::npos)
                asides += read_all(entry.path()) == "found\n";
        EXPECT_EQ(asides, c.reason.empty() ? 0u : 1u);
    }
}

}  // namespace
}  // namespace velmor
