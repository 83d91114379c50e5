#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

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

// A log file or rotated file that anyone but root and this user may open,
// or that is a link, is set aside with a line saying why; a new log file is
// made for this user alone. A rotated file whose check fails counts as unsafe.
TEST(LogWriterPosix, FilesOthersMayOpenAreSetAside) {
    struct Case {
        const char* found;  // the name of the file found; "" for none
        mode_t mode;        // 0: a link to a file of mode 0600; S_IFDIR: a folder
        uid_t owner;
        std::string log;    // without timestamps, folder and the aside's time
    };
    const std::string L = "velmor-helper.log", V(254, 'v');  // V's ".1" is a name too long to check
    const std::string aside = "log: set aside " + L + " as " + L + ".untrusted-: ";
    const Case cases[] = {
        {"velmor-helper.log", 0600, 0, "found\nline\n"},
        {"velmor-helper.log", 0644, 0, aside + "everyone may open it\nline\n"},
        {"velmor-helper.log", 0600, 65534, aside + "uid 65534, its owner, may change it\nline\n"},
        {"velmor-helper.log", 0, 0, aside + "it is a link\nline\n"},
        {"velmor-helper.log.1", 0640, 0, "log: set aside " + L + ".1 as " + L + ".1.untrusted-: group 0 may open it\nline\n"},
        {"velmor-helper.log.1", S_IFDIR, 0, "log: set aside " + L + ".1 as " + L + ".1.untrusted-: it is not a file\nline\n"},
        {"", 0, 0, "log: cannot set aside " + V + ".1 (it cannot be checked: open failed: 36: File name too long (os error "
                   "36)): open failed: 36: File name too long (os error 36)\nline\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        testing::TempDir dir;
        const std::filesystem::path log = dir.path() / (*c.found ? L : V), target = dir.path() / c.found;
        if (c.mode == S_IFDIR) {
            std::filesystem::create_directories(target / "inside");
        } else if (*c.found) {
            const std::filesystem::path file = c.mode == 0 ? dir.path() / "elsewhere" : target;
            std::ofstream(file) << "found\n";
            ::chmod(file.c_str(), c.mode == 0 ? 0600 : c.mode);
            ASSERT_EQ(::chown(file.c_str(), c.owner, 0), 0);
            if (c.mode == 0) std::filesystem::create_symlink(file, target);
        }
        LogWriter(log).write_line("line\n");
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::regex varying("\\[SystemTime \\{ intervals: \\d+ \\}\\] |" + dir.path().string() + "/|(untrusted-)\\d+");
        EXPECT_EQ(std::regex_replace(text, varying, "$1"), c.log);
        struct stat made {};
        ASSERT_EQ(::lstat(log.c_str(), &made), 0);
        EXPECT_EQ(made.st_mode & 07777, 0600u);
    }
}

}  // namespace
}  // namespace velmor
