#include "core/core_library.hpp"

#include <gtest/gtest.h>

#include "base/path.hpp"
#include "core_test_support.hpp"

namespace velmor {
namespace {

using testing::TempDir;

std::filesystem::path fake_core_path(const char* folder) {
    // The build's folders are ASCII, which every code page holds.
    return join_path(std::filesystem::path(folder), core_library_file_name());
}

// The fake's own counters, reached through the same loaded module.
int fake_probe(CoreLibrary library, const char* name) {
    Result<detail::GenericFn> probe = detail::find_core_symbol(library, name);
    if (!probe) return -1;
    return reinterpret_cast<int (*)()>(*probe)();
}

class CoreLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        Result<CoreModule> opened = detail::open_core_library(fake_core_path(VELMOR_FAKE_CORE_DIR));
        ASSERT_TRUE(opened) << opened.error().full_description();
        module = std::move(*opened);
        library = CoreLibrary{module.get()};
        cwd = path_to_utf8(dir.path());
    }

    Result<> run(const std::string& config) { return detail::run_core_in(library, config, "core.log", cwd); }

    TempDir dir;
    CoreModule module;
    CoreLibrary library;
    std::string cwd;
};

TEST(CoreLibraryLoad, MissingOrBrokenLibraryIsReportedWithItsPath) {
    TempDir dir;
    const std::filesystem::path missing = join_path(dir.path(), core_library_file_name());
    Result<CoreModule> opened = detail::open_core_library(missing);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message(), "core library not found: " + path_to_utf8(missing));

    { std::ofstream(missing) << "not a library"; }
    opened = detail::open_core_library(missing);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message(), "load " + path_to_utf8(missing));
    ASSERT_NE(opened.error().cause(), nullptr);
    const std::string cause = opened.error().cause()->message();
    EXPECT_TRUE(cause.starts_with("LoadLibraryExW failed") || cause.starts_with("dlopen failed")) << cause;
}

TEST(CoreLibraryLoad, ProcessLibraryIsLoadedOnceAndReused) {
    Result<CoreLibrary> first = load_core_library();
#ifdef _WIN32
    // The unit tests' folder holds no core library under Windows: each call
    // tries again and fails the same way.
    ASSERT_FALSE(first);
    EXPECT_TRUE(first.error().message().starts_with("core library not found: ")) << first.error().message();
    EXPECT_FALSE(load_core_library());
#else
    ASSERT_TRUE(first) << first.error().full_description();
    Result<CoreLibrary> second = load_core_library();
    ASSERT_TRUE(second);
    EXPECT_EQ(first->module, second->module);
#endif
}

TEST(CoreLibraryLoad, LibraryWithoutClashStartFailsTheRun) {
    Result<CoreModule> opened = detail::open_core_library(fake_core_path(VELMOR_FAKE_NOSTART_DIR));
    ASSERT_TRUE(opened) << opened.error().full_description();
    const CoreLibrary library{opened->get()};
    TempDir dir;
    const Result<> outcome = detail::run_core_in(library, "{}", "core.log", path_to_utf8(dir.path()));
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), "clash_start symbol");
    ASSERT_NE(outcome.error().cause(), nullptr);
    const std::string cause = outcome.error().cause()->message();
    EXPECT_TRUE(cause.starts_with("GetProcAddress failed") || cause.starts_with("dlsym failed")) << cause;
    // The shutdown of such a library still goes through.
    detail::shutdown_core_in(library);
}

TEST_F(CoreLibraryTest, ResultsOfClashStart) {
    struct Case {
        const char* name;
        std::string config;
        std::optional<std::string> error;  // none: success
        int frees;                         // clash_free_string calls expected
    };
    const std::vector<Case> cases = {
        {"empty text is success", R"({"mode":"exit"})", std::nullopt, 1},
        {"text is the error", R"({"mode":"error","text":"bind failed: port 7890"})", "bind failed: port 7890", 1},
        {"null is a panic, nothing freed", R"({"mode":"null"})", "core panicked (null return from clash_start)", 0},
        {"invalid UTF-8 becomes U+FFFD", R"({"mode":"bad-utf8"})", "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int freed_before = fake_probe(library, "fake_core_freed_count");
        const Result<> outcome = run(c.config);
        if (c.error) {
            ASSERT_FALSE(outcome);
            EXPECT_EQ(outcome.error().message(), *c.error);
            EXPECT_EQ(outcome.error().cause(), nullptr);
        } else {
            EXPECT_TRUE(outcome) << outcome.error().full_description();
        }
        EXPECT_EQ(fake_probe(library, "fake_core_freed_count") - freed_before, c.frees);
    }
}

TEST_F(CoreLibraryTest, ArgumentsReachTheCoreUnchanged) {
    const std::string config = "{\"mode\":\"exit\", \"x\": \"\xC3\xA9 \\n\"}\n  ";
    ASSERT_TRUE(detail::run_core_in(library, config, "/var/log/c\xC3\xA9.log", cwd));
    EXPECT_EQ(testing::read_file(dir.path() / "fake-core-config.txt"), config);
    const std::string args = testing::read_file(dir.path() / "fake-core-args.txt");
    EXPECT_NE(args.find("log=/var/log/c\xC3\xA9.log\n"), std::string::npos) << args;
    EXPECT_NE(args.find("cwd=" + cwd + "\n"), std::string::npos) << args;
    EXPECT_NE(args.find("flag=1\n"), std::string::npos) << args;
}

TEST_F(CoreLibraryTest, EmbeddedNulIsRefusedBeforeTheCoreRuns) {
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::string config, log, cwd;
        const char* message;
        const char* position;
    };
    const std::string ok_cwd = cwd;
    const std::vector<Case> cases = {
        {"config", "{\"a\":1}\0x"s, "l", ok_cwd, "config contains NUL", "NUL byte at position 7"},
        {"log path", "{}", "a\0b"s, ok_cwd, "log path contains NUL", "NUL byte at position 1"},
        {"working folder", "{}", "l", "\0"s + ok_cwd, "cwd contains NUL", "NUL byte at position 0"},
        {"config is checked first", "\0"s, "\0"s, "\0"s, "config contains NUL", "NUL byte at position 0"},
        {"log before cwd", "{}", "\0"s, "\0"s, "log path contains NUL", "NUL byte at position 0"},
    };
    const int starts_before = fake_probe(library, "fake_core_start_count");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Result<> outcome = detail::run_core_in(library, c.config, c.log, c.cwd);
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error().message(), c.message);
        ASSERT_NE(outcome.error().cause(), nullptr);
        EXPECT_EQ(outcome.error().cause()->message(), c.position);
    }
    EXPECT_EQ(fake_probe(library, "fake_core_start_count"), starts_before);
}

}  // namespace
}  // namespace velmor
