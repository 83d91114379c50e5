// Each native unit test process works in a temporary folder of its own, removed with everything in it after
// the last test: lock files and log folders stay out of TMPDIR. (Under Wine they stay in the prefix.)
#ifndef _WIN32
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

struct TempRoot final : ::testing::Environment {
    std::filesystem::path root;
    void SetUp() override {
        std::error_code ec;
        root = std::filesystem::temp_directory_path(ec) / ("velmor-unit-" + std::to_string(::getpid()));
        std::filesystem::remove_all(root, ec);
        if (!std::filesystem::create_directory(root, ec) || ::setenv("TMPDIR", root.c_str(), 1) != 0 ||
            std::filesystem::temp_directory_path(ec) != root)
            ADD_FAILURE() << "the temporary folder is not " << root.string();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
};
[[maybe_unused]] const auto* const registered = ::testing::AddGlobalTestEnvironment(new TempRoot);

}  // namespace
#endif
