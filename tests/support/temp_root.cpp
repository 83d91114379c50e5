// Every native unit test process works in a temporary folder of its own,
// made before the first test and removed with everything in it after the
// last: lock files, log folders and whatever a test forgets stay out of
// TMPDIR. Children inherit it through the environment. (Under Wine the tests
// write into the prefix's own temporary folder, which goes with the prefix.)

#ifndef _WIN32

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

class TempRoot final : public ::testing::Environment {
public:
    void SetUp() override {
        std::error_code ec;
        const std::filesystem::path system = std::filesystem::temp_directory_path(ec);
        if (ec) return ADD_FAILURE() << "no temporary folder: " << ec.message();
        root_ = system / ("velmor-unit-" + std::to_string(::getpid()));
        std::filesystem::remove_all(root_, ec);
        if (!std::filesystem::create_directory(root_, ec))
            return ADD_FAILURE() << "cannot make " << root_.string() << ": " << ec.message();
        if (::setenv("TMPDIR", root_.c_str(), 1) != 0 || std::filesystem::temp_directory_path(ec) != root_)
            ADD_FAILURE() << "the temporary folder is not " << root_.string();
    }
    void TearDown() override {
        std::error_code ec;
        if (!root_.empty()) std::filesystem::remove_all(root_, ec);
    }

private:
    std::filesystem::path root_;
};

[[maybe_unused]] const ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new TempRoot);

}  // namespace

#endif
