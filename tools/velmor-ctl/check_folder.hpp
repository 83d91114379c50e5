#pragma once
// check-folder's decisions: which entries are judged, where the volume is
// asked whether it keeps permissions, what is printed and the exit status.
// The calls that read the system are given (check_folder_win32.cpp gives
// Windows' own). Portable; main thread.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/error.hpp"
#include "trust/install_folder.hpp"

namespace velmor::ctl {

inline constexpr int CHECK_SAFE = 0, CHECK_UNSAFE = 1, CHECK_USAGE = 2;

// What the check reads of the system: whether a path is an existing folder
// (false on any doubt: the walk goes up), whether the volume of a folder
// keeps owners and DACLs (true on any doubt: the full check is made), and
// the entries' readers and the folder's making.
struct FolderCalls {
    std::function<bool(const std::filesystem::path&)> is_folder;
    std::function<bool(const std::filesystem::path&)> permissions_kept;
    trust::InstallFolderAccess access;
};

// FOLDER made full by the system, without the "\." or "\" the package may
// end it with.
std::filesystem::path without_closing_separator(const std::filesystem::path& full);

// What check-folder prints, each a whole line or empty, and its status.
struct CheckFolderOutcome {
    int status = CHECK_UNSAFE;
    std::string out;  // standard output
    std::string err;  // standard error
};

// The check of `folder` (or why it cannot be named: CHECK_USAGE): before
// install the package's check, otherwise the one install makes of the
// installed files. A check that cannot be made refuses (CHECK_UNSAFE).
CheckFolderOutcome check_folder_outcome(bool before_install, bool allowed,
                                        const Result<std::filesystem::path>& folder, const FolderCalls& calls);

// The line check-folder prints for an installed `folder`, without
// "velmor-ctl: ". Changes nothing.
std::string installed_folder_verdict(const std::filesystem::path& folder, const FolderCalls& calls);

}  // namespace velmor::ctl
