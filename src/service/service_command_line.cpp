#include "service/service_command_line.hpp"

namespace velmor {

HostRole select_role(std::span<const std::wstring> args) {
    if (args.size() < 2) return HostRole::Service;
    const std::wstring& word = args[1];
    if (word == L"install") return HostRole::Install;
    if (word == L"uninstall") return HostRole::Uninstall;
    if (word == L"console") return HostRole::Console;
    return HostRole::Service;
}

bool allows_unsafe_folder(std::span<const std::wstring> args) {
    for (std::size_t i = 2; i < args.size(); ++i)
        if (args[i] == L"--allow-unsafe-folder") return true;
    return false;
}

std::wstring quote_argument(std::wstring_view path) {
    if (!path.empty() && path.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) return std::wstring(path);

    std::wstring quoted;
    quoted.reserve(path.size() + 2);
    quoted.push_back(L'"');
    std::size_t backslashes = 0;
    for (const wchar_t c : path) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            // The run before a quote is doubled and one more escapes the quote.
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    // A run at the very end would otherwise escape the closing quote.
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

}  // namespace velmor
