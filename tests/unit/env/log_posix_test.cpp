#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "env/log.hpp"

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

}  // namespace
}  // namespace velmor
