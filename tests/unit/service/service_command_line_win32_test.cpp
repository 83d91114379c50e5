#include "service/service_command_line.hpp"

#include <gtest/gtest.h>

#include <string>

#include "base/win.hpp"

#include <shellapi.h>

namespace velmor {
namespace {

// What the system's own argument split makes of `argument` as argument 1.
std::wstring split_back(const std::wstring& argument, int& count) {
    const std::wstring line = L"prog.exe " + argument;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
    if (argv == nullptr) return L"<split failed>";
    const unique_hlocal owner(argv);
    return count >= 2 ? std::wstring(argv[1]) : std::wstring();
}

TEST(QuoteArgument, TheSystemSplitGivesBackThePathWhole) {
    const wchar_t* paths[] = {
        L"C:\\velmor\\velmor-helper.exe",
        L"C:\\Program Files\\Velmor\\velmor-helper.exe",
        L"C:\\odd\tfolder\\v.exe",
        L"C:\\odd\vfolder\\v.exe",
        L"C:\\odd\nfolder\\v.exe",
        L"a\"b",
        L"a \\\"b",
        L"with space\\",
        L"with space\\\\\\",
        L"\\\\server\\share name\\v.exe",
        L"\"\"",
        L"\\\"",
        L" ",
        L"a\\\\b c",
    };
    for (const wchar_t* path : paths) {
        SCOPED_TRACE(narrow(path));
        int count = 0;
        EXPECT_EQ(split_back(quote_argument(path), count), path);
        EXPECT_EQ(count, 2);
    }
}

}  // namespace
}  // namespace velmor
