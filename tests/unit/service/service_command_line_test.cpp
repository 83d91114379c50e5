#include "service/service_command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmor {
namespace {

std::string show(std::wstring_view w) {
    std::string s;
    for (const wchar_t c : w) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return s;
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

TEST(SelectRole, OnlyAnExactFirstArgumentSelectsACommand) {
    struct Case {
        std::vector<std::wstring> args;
        HostRole expected;
    };
    const Case cases[] = {
        {{}, HostRole::Service},
        {{L"velmor-helper.exe"}, HostRole::Service},
        {{L"velmor-helper.exe", L"install"}, HostRole::Install},
        {{L"velmor-helper.exe", L"uninstall"}, HostRole::Uninstall},
        {{L"velmor-helper.exe", L"console"}, HostRole::Console},
        // Further arguments are ignored.
        {{L"velmor-helper.exe", L"install", L"uninstall", L"--force"}, HostRole::Install},
        {{L"velmor-helper.exe", L"console", L""}, HostRole::Console},
        // Argument 0 never selects a role.
        {{L"install"}, HostRole::Service},
        {{L"console", L"x"}, HostRole::Service},
        // Near misses fall to service mode.
        {{L"x", L"INSTALL"}, HostRole::Service},
        {{L"x", L"Install"}, HostRole::Service},
        {{L"x", L"-install"}, HostRole::Service},
        {{L"x", L"/install"}, HostRole::Service},
        {{L"x", L"--uninstall"}, HostRole::Service},
        {{L"x", L"Console"}, HostRole::Service},
        {{L"x", L"install "}, HostRole::Service},
        {{L"x", L" console"}, HostRole::Service},
        {{L"x", std::wstring(L"install\0", 8)}, HostRole::Service},
        {{L"x", L"installx"}, HostRole::Service},
        {{L"x", L"uninstal"}, HostRole::Service},
        {{L"x", L""}, HostRole::Service},
        {{L"x", L"service"}, HostRole::Service},
        {{L"x", L"\uff49nstall"}, HostRole::Service},  // fullwidth i
        // Version and help: exact words only.
        {{L"x", L"--version"}, HostRole::Version},
        {{L"x", L"--help"}, HostRole::Help},
        {{L"x", L"-h"}, HostRole::Help},
        {{L"x", L"/?"}, HostRole::Help},
        {{L"x", L"--Version"}, HostRole::Service},
        {{L"x", L"-?"}, HostRole::Service},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? show(c.args[1]) : "(none)");
        EXPECT_EQ(select_role(c.args), c.expected);
    }
}

TEST(AllowsUnsafeFolder, OnlyTheExactWordAfterTheCommand) {
    struct Case {
        std::vector<std::wstring> args;
        bool expected;
    };
    const Case cases[] = {
        {{L"x", L"install"}, false},
        {{L"x", L"install", L"--allow-unsafe-folder"}, true},
        {{L"x", L"install", L"--verbose", L"--allow-unsafe-folder"}, true},
        {{L"x", L"--allow-unsafe-folder"}, false},  // the command word itself
        {{L"--allow-unsafe-folder", L"install"}, false},
        {{L"x", L"install", L"--allow-unsafe-folder "}, false},
        {{L"x", L"install", L"--Allow-Unsafe-Folder"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.size());
        EXPECT_EQ(allows_unsafe_folder(c.args), c.expected);
    }
}

}  // namespace
}  // namespace velmor
