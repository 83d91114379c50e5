#include "service/service_command_line.hpp"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

namespace velmor {
namespace {

std::string show(std::wstring_view w) {
    std::string s;
    for (const wchar_t c : w) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return s;
}

TEST(NextStep, OnlyTheUsualCausesOfEachRoleGetATip) {
    const struct {
        HostRole role;
        std::uint32_t code;
        std::string_view starts;  // empty: no line
    } rows[] = {
        {HostRole::Service, 1063, "To fix: only the Service Control Manager starts the service; run `velmor-helper.exe console`"},
        {HostRole::Console, 1063, ""},
        {HostRole::Service, 5, ""},
        {HostRole::Install, 5, "To fix: run the command again from an elevated prompt"},
        {HostRole::Uninstall, 1072, "To fix: the service is still being removed"},
        {HostRole::Install, 1073, "To fix: the service is already installed"},
        {HostRole::Uninstall, 1073, ""},
        {HostRole::Uninstall, 1060, "To fix: nothing to do; the service is not installed"},
        {HostRole::Install, 1060, ""},
        {HostRole::Install, 2, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        const std::string_view step = next_step_after(row.role, row.code);
        EXPECT_TRUE(row.starts.empty() ? step.empty() : step.starts_with(row.starts)) << step;
    }
}

TEST(QuoteArgument, QuotesOnlyWhenTheSplitWouldChangeThePath) {
    struct Case {
        const wchar_t* path;
        const wchar_t* expected;
    };
    const Case cases[] = {
        // Left alone: no blank, no quote, not empty; backslashes are literal there.
        {L"C:\\velmor\\velmor-helper.exe", L"C:\\velmor\\velmor-helper.exe"},
        {L"C:\\trailing\\", L"C:\\trailing\\"},
        {L"\\\\?\\C:\\x.exe", L"\\\\?\\C:\\x.exe"},
        {L"C:\\caf\u00e9\\v.exe", L"C:\\caf\u00e9\\v.exe"},
        // Each character that forces quoting.
        {L"", L"\"\""},
        {L"C:\\Program Files\\Velmor\\velmor-helper.exe", L"\"C:\\Program Files\\Velmor\\velmor-helper.exe\""},
        {L"C:\\a\tb\\v.exe", L"\"C:\\a\tb\\v.exe\""},
        {L"C:\\a\nb\\v.exe", L"\"C:\\a\nb\\v.exe\""},
        {L"C:\\a\vb\\v.exe", L"\"C:\\a\vb\\v.exe\""},
        {L"a\"b", L"\"a\\\"b\""},
        // Backslashes: doubled before a quote and at the end, literal elsewhere.
        {L"a b\\", L"\"a b\\\\\""},
        {L"a b\\\\\\", L"\"a b\\\\\\\\\\\\\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"a\\\\\"b c", L"\"a\\\\\\\\\\\"b c\""},
        {L"a\\b c\\\\d", L"\"a\\b c\\\\d\""},
        {L"\"", L"\"\\\"\""},
        {L"\\\"", L"\"\\\\\\\"\""},
        {L" ", L"\" \""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(show(c.path));
        EXPECT_EQ(quote_argument(c.path), c.expected);
    }
}

struct CommandLineCase {
    std::vector<std::wstring> args;
    HostRole expected;
    const char* problem = "";
    bool allow_unsafe_folder = false;
};

void expect_parsed(std::span<const CommandLineCase> cases) {
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? show(c.args[1]) + (c.args.size() > 2 ? " " + show(c.args[2]) : "") : "(none)");
        const CommandLine line = parse_command_line(c.args);
        EXPECT_EQ(line.role, c.expected);
        EXPECT_EQ(line.problem, c.problem);
        EXPECT_EQ(line.allow_unsafe_folder, c.allow_unsafe_folder);
    }
}

TEST(SelectRole, OnlyNoArgumentIsServiceModeAndEveryOtherWordMustBeKnown) {
    const CommandLineCase cases[] = {
        {{}, HostRole::Service},
        {{L"velmor-helper.exe"}, HostRole::Service},
        {{L"velmor-helper.exe", L"install"}, HostRole::Install},
        {{L"velmor-helper.exe", L"uninstall"}, HostRole::Uninstall},
        {{L"velmor-helper.exe", L"console"}, HostRole::Console},
        // Further arguments are refused, not ignored.
        {{L"velmor-helper.exe", L"install", L"uninstall", L"--force"}, HostRole::Unknown, "unknown command \"uninstall\""},
        {{L"velmor-helper.exe", L"console", L""}, HostRole::Unknown, "unknown command \"\""},
        {{L"x", L"console", L"extra"}, HostRole::Unknown, "unknown command \"extra\""},
        {{L"x", L"uninstall", L"--force"}, HostRole::Unknown, "unknown option \"--force\""},
        {{L"x", L"install", L"--bogus"}, HostRole::Unknown, "unknown option \"--bogus\""},
        {{L"x", L"--help", L"install"}, HostRole::Unknown, "unknown command \"install\""},
        // Argument 0 never selects a role, and nothing after it is a typo.
        {{L"install"}, HostRole::Service},
        {{L"console", L"x"}, HostRole::Unknown, "unknown command \"x\""},
        // Near misses are named, never taken as service mode.
        {{L"x", L"INSTALL"}, HostRole::Unknown, "unknown command \"INSTALL\""},
        {{L"x", L"Install"}, HostRole::Unknown, "unknown command \"Install\""},
        {{L"x", L"-install"}, HostRole::Unknown, "unknown option \"-install\""},
        {{L"x", L"/install"}, HostRole::Unknown, "unknown command \"/install\""},
        {{L"x", L"--uninstall"}, HostRole::Unknown, "unknown option \"--uninstall\""},
        {{L"x", L"Console"}, HostRole::Unknown, "unknown command \"Console\""},
        {{L"x", L"install "}, HostRole::Unknown, "unknown command \"install \""},
        {{L"x", L" console"}, HostRole::Unknown, "unknown command \" console\""},
        {{L"x", std::wstring(L"install\0", 8)}, HostRole::Unknown, "unknown command \"install\\u{0}\""},
        {{L"x", L"installx"}, HostRole::Unknown, "unknown command \"installx\""},
        {{L"x", L"uninstal"}, HostRole::Unknown, "unknown command \"uninstal\""},
        {{L"x", L"instal"}, HostRole::Unknown, "unknown command \"instal\""},
        {{L"x", L""}, HostRole::Unknown, "unknown command \"\""},
        {{L"x", L"service"}, HostRole::Unknown, "unknown command \"service\""},
        {{L"x", L"status"}, HostRole::Unknown, "unknown command \"status\""},
        {{L"x", L"\uff49nstall"}, HostRole::Unknown, "unknown command \"\xef\xbd\x89nstall\""},  // fullwidth i
        {{L"x", L"in\nstall"}, HostRole::Unknown, "unknown command \"in\\nstall\""},  // one line
        // Version and help: exact words only.
        {{L"x", L"--version"}, HostRole::Version},
        {{L"x", L"--help"}, HostRole::Help},
        {{L"x", L"-h"}, HostRole::Help},
        {{L"x", L"/?"}, HostRole::Help},
        {{L"x", L"--Version"}, HostRole::Unknown, "unknown option \"--Version\""},
        {{L"x", L"-?"}, HostRole::Unknown, "unknown option \"-?\""},
    };
    expect_parsed(cases);
}

TEST(AllowsUnsafeFolder, OnlyTheExactWordAfterInstall) {
    const CommandLineCase cases[] = {
        {{L"x", L"install"}, HostRole::Install},
        {{L"x", L"install", L"--allow-unsafe-folder"}, HostRole::Install, "", true},
        {{L"x", L"install", L"--allow-unsafe-folder", L"--allow-unsafe-folder"}, HostRole::Install, "", true},
        {{L"x", L"install", L"--verbose", L"--allow-unsafe-folder"}, HostRole::Unknown, "unknown option \"--verbose\""},
        {{L"x", L"--allow-unsafe-folder"}, HostRole::Unknown, "unknown option \"--allow-unsafe-folder\""},
        {{L"--allow-unsafe-folder", L"install"}, HostRole::Install},
        {{L"x", L"install", L"--allow-unsafe-folder "}, HostRole::Unknown, "unknown option \"--allow-unsafe-folder \""},
        {{L"x", L"install", L"--Allow-Unsafe-Folder"}, HostRole::Unknown, "unknown option \"--Allow-Unsafe-Folder\""},
        {{L"x", L"install", L"--allow-unsafe-folders"}, HostRole::Unknown, "unknown option \"--allow-unsafe-folders\""},
        {{L"x", L"console", L"--allow-unsafe-folder"}, HostRole::Unknown, "unknown option \"--allow-unsafe-folder\""},
    };
    expect_parsed(cases);
}

}  // namespace
}  // namespace velmor
