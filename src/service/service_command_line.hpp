#pragma once
// The service host's command line: which role a command line selects, and how
// the executable's path is written into the service registration.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmor {

enum class HostRole { Service, Install, Uninstall, Console, Version, Help, Unknown };

// What a split command line asks for (`args[0]` is the program itself and is
// skipped).
struct CommandLine {
    HostRole role = HostRole::Service;
    // install only: "--allow-unsafe-folder" accepts a program folder that
    // others may change.
    bool allow_unsafe_folder = false;
    // Unknown: `unknown command "{word}"` or `unknown option "{word}"` for
    // the first word that is neither (an option is a word that starts with
    // "-").
    std::string problem;
};

// Only no argument at all is service mode, as the SCM starts the program.
// Otherwise `args[1]` must be exactly "install", "uninstall", "console",
// "--version" or "--help" ("-h", "/?"), and only install takes a further
// word, "--allow-unsafe-folder"; anything else is Unknown, so that a typo
// never reaches the SCM, the log or the registration.
CommandLine parse_command_line(std::span<const std::wstring> args);

// What --help prints, and an unknown word after its line: the roles, one per
// line.
extern const std::string_view HELP_TEXT;

// The exit status of a command line that names no role.
inline constexpr int EXIT_USAGE = 2;

// The one line that tells an administrator what to do after install or
// uninstall failed with the system error `code`, for the codes that have a
// usual cause (1073, 1060, 1072, 5), or after the service was started from a
// prompt (1063); empty for any other.
std::string_view next_step_after(HostRole role, std::uint32_t code);

// `path` as one command-line argument: unchanged unless it is empty or holds a
// space, tab, line feed, vertical tab or double quote; otherwise enclosed in
// double quotes, with quotes escaped and the backslashes before a quote or
// before the closing quote doubled, so that the standard Windows argument
// split gives back exactly `path`.
std::wstring quote_argument(std::wstring_view path);

}  // namespace velmor
