#pragma once
// The service host's command line: which role a command line selects, and how
// the executable's path is written into the service registration.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmor {

enum class HostRole { Service, Install, Uninstall, Console, Version, Help };

// The role selected by a split command line (`args[0]` is the program itself
// and is skipped). Only an exact "install", "uninstall" or "console" in
// `args[1]` selects one of those roles, "--version" prints the version, and
// "--help", "-h" or "/?" the roles; nothing, or any other text, selects
// service mode. Further arguments never matter.
HostRole select_role(std::span<const std::wstring> args);

// What --help prints: the roles, one per line.
extern const std::string_view HELP_TEXT;

// The one line that tells an administrator what to do after install or
// uninstall failed with the system error `code`, for the codes that have a
// usual cause (1073, 1060, 1072, 5); empty for any other.
std::string_view next_step_after(HostRole role, std::uint32_t code);

// True when an argument after the command word is exactly
// "--allow-unsafe-folder": install accepts a program folder that others may
// change.
bool allows_unsafe_folder(std::span<const std::wstring> args);

// `path` as one command-line argument: unchanged unless it is empty or holds a
// space, tab, line feed, vertical tab or double quote; otherwise enclosed in
// double quotes, with quotes escaped and the backslashes before a quote or
// before the closing quote doubled, so that the standard Windows argument
// split gives back exactly `path`.
std::wstring quote_argument(std::wstring_view path);

}  // namespace velmor
