#include "service/service_command_line.hpp"

#include "base/text.hpp"

namespace velmor {

namespace {

// An argument as one line of text (UTF-16 on Windows, UTF-32 elsewhere).
std::string shown(const std::wstring& word) {
    std::u16string utf16;
    for (const wchar_t c : word) {
        const auto code = static_cast<std::uint32_t>(c);
        if (code > 0xFFFF && code <= 0x10FFFF) {
            utf16.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            utf16.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            utf16.push_back(static_cast<char16_t>(code > 0xFFFF ? 0xFFFD : code));
        }
    }
    return escape_for_log(utf16_to_utf8(utf16), 256);
}

CommandLine unknown(const std::wstring& word) {
    const bool option = !word.empty() && word.front() == L'-';
    return {HostRole::Unknown, false,
            std::string(option ? "unknown option" : "unknown command") + " \"" + shown(word) + "\""};
}

}  // namespace

CommandLine parse_command_line(std::span<const std::wstring> args) {
    if (args.size() < 2) return {};
    const std::wstring& word = args[1];
    CommandLine line;
    if (word == L"install") line.role = HostRole::Install;
    else if (word == L"uninstall") line.role = HostRole::Uninstall;
    else if (word == L"console") line.role = HostRole::Console;
    else if (word == L"--version") line.role = HostRole::Version;
    else if (word == L"--help" || word == L"-h" || word == L"/?") line.role = HostRole::Help;
    else return unknown(word);
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (line.role == HostRole::Install && args[i] == L"--allow-unsafe-folder") line.allow_unsafe_folder = true;
        else return unknown(args[i]);
    }
    return line;
}

constexpr std::string_view HELP_TEXT =
    "usage: velmor-helper.exe [install | uninstall | console | --version | --help]\n"
    "  install     registers the velmor-helper service (LocalSystem, automatic start)\n"
    "              and starts it; from an elevated prompt; --allow-unsafe-folder\n"
    "              accepts a program folder that others may change\n"
    "  uninstall   stops the service and deletes its registration; from an elevated prompt\n"
    "  console     serves \\\\.\\pipe\\velmor-helper in the foreground, without the service,\n"
    "              until Ctrl+C, which stops the core first\n"
    "  --version   prints the version\n"
    "  --help      prints this text (also -h and /?)\n"
    "Without any argument the program is the service itself, which only the\n"
    "Service Control Manager starts. Talk to the helper with velmor-ctl.\n";

std::string_view next_step_after(HostRole role, std::uint32_t code) {
    // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT: started from a prompt.
    if (role == HostRole::Service && code == 1063)
        return "To fix: only the Service Control Manager starts the service; run `velmor-helper.exe console` to "
               "serve in the foreground, or `velmor-helper.exe install` to install and start the service.";
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
