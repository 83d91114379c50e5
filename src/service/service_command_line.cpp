#include "service/service_command_line.hpp"

namespace velmor {

HostRole select_role(std::span<const std::wstring> args) {
    if (args.size() < 2) return HostRole::Service;
    const std::wstring& word = args[1];
    if (word == L"install") return HostRole::Install;
    if (word == L"uninstall") return HostRole::Uninstall;
    if (word == L"console") return HostRole::Console;
    if (word == L"--version") return HostRole::Version;
    if (word == L"--help" || word == L"-h" || word == L"/?") return HostRole::Help;
    return HostRole::Service;
}

constexpr std::string_view HELP_TEXT =
    "usage: velmor-helper.exe [install | uninstall | console | --version | --help]\n"
    "  install     registers the velmor-helper service (LocalSystem, automatic start)\n"
    "              and starts it; from an elevated prompt\n"
    "  uninstall   stops the service and deletes its registration; from an elevated prompt\n"
    "  console     serves \\\\.\\pipe\\velmor-helper in the foreground, without the service,\n"
    "              until Ctrl+C, which stops the core first\n"
    "  --version   prints the version\n"
    "  --help      prints this text (also -h and /?)\n"
    "Without one of these words the program is the service itself, which only the\n"
    "Service Control Manager starts. Talk to the helper with velmor-ctl.\n";

std::string_view next_step_after(HostRole role, std::uint32_t code) {
    if (role != HostRole::Install && role != HostRole::Uninstall) return {};
    switch (code) {
        case 5: return "To fix: run the command again from an elevated prompt (Run as administrator).";
        case 1072:
            return "To fix: the service is still being removed: close the Services console (and any other program "
                   "that has it open), wait until it has stopped, and try again.";
        case 1073:
            if (role == HostRole::Install)
                return "To fix: the service is already installed and nothing was changed; run "
                       "`velmor-helper.exe uninstall` first to install it from this folder.";
            break;
        case 1060:
            if (role == HostRole::Uninstall)
                return "To fix: nothing to do; the service is not installed (if it should be, install it with "
                       "`velmor-helper.exe install`).";
            break;
        default: break;
    }
    return {};
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
