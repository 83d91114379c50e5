// Each unit test process works in a temporary folder of its own (TMPDIR; TMP
// and TEMP on Windows), removed after the last test with the log closed first:
// Windows removes no folder that holds an open file. Any failure fails the run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "env/log.hpp"
#include "unit/core/core_test_support.hpp"

#ifdef _WIN32
#include "base/win.hpp"
#endif

namespace {

namespace fs = std::filesystem;

bool use_as_temp(const fs::path& root) {
#ifdef _WIN32
    return SetEnvironmentVariableW(L"TMP", root.c_str()) && SetEnvironmentVariableW(L"TEMP", root.c_str());
#else
    return ::setenv("TMPDIR", root.c_str(), 1) == 0;
#endif
}

// Each entry once, deepest first: MinGW's remove_all goes round for ever on a
// file whose removal is pending (held open with delete sharing, as the log is).
void remove_tree(const fs::path& folder, std::error_code& ec) {
    std::vector<fs::path> entries;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    for (auto entry = entries.rbegin(); !ec && entry != entries.rend(); ++entry) fs::remove(*entry, ec);
    if (!ec) fs::remove(folder, ec);
}

struct TempRoot final : ::testing::Environment {
    fs::path root;
    void SetUp() override {
        std::error_code ec;
        root = fs::temp_directory_path(ec) / ("velmor-unit-" + velmor::testing::unique_suffix());
        // Windows gives the folder with a separator at the end.
        if (!fs::create_directory(root, ec) || !use_as_temp(root) || fs::temp_directory_path(ec) / "" != root / "")
            ADD_FAILURE() << "the temporary folder is not " << root.string();
    }
    void TearDown() override {
        velmor::close_log_file();
        std::error_code ec;
        remove_tree(root, ec);
        if (ec) ADD_FAILURE() << "the temporary folder " << root.string() << " is left behind: " << ec.message();
    }
};
[[maybe_unused]] const auto* const registered = ::testing::AddGlobalTestEnvironment(new TempRoot);

}  // namespace
