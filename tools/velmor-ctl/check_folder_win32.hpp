#pragma once
// velmor-ctl check-folder: the program folder's check, by hand or from the
// package, which runs this program from its own tables (never from the folder
// it checks) as SYSTEM:
//
//   check-folder [FOLDER]
//     the check install makes (the folder, those above it, velmor-helper.exe,
//     velmor-ctl.exe and the libraries the service loads), of FOLDER or this
//     program's own folder; the package's check once its files are in place
//   check-folder --before-install [--allow-unsafe-folder] FOLDER
//     the package's check before it copies anything
//     (trust::find_unsafe_install_folder): a missing FOLDER is made
//
// FOLDER may end in "\." or "\" (the package passes "[INSTALLDIR]." so that
// the property's closing backslash does not escape the quote). What is
// judged and printed is decided in check_folder.hpp; this side gives the
// system's calls and prints. Main thread.

#include <filesystem>
#include <optional>
#include <string>

namespace velmor::ctl {

// FOLDER and the options as the command line gave them (checked there).
// Exit status: 0 and "program folder is safe:
// {folder}" on standard output; 1 and "velmor-ctl: program folder is not
// safe: {path}: {reason}" (the words of install's refusal) on standard error;
// 2 for a folder that cannot be named.
int check_folder_command(bool before_install, bool allowed, const std::optional<std::wstring>& folder);

// The line check-folder prints for an installed `folder`, without
// "velmor-ctl: ": "program folder is safe: {folder}", the line of a volume
// that keeps no permissions, or "program folder is not safe: ...". Changes
// nothing.
std::string installed_folder_verdict(const std::filesystem::path& folder);

}  // namespace velmor::ctl
