#pragma once
// The package's check of the folder it is about to install into, made as
// SYSTEM before any file is copied: nothing of the folder's may later run or
// be loaded as SYSTEM unless only SYSTEM and the Administrators could have
// put it there.
//
// The rule: every existing folder above it passes as an ancestor (others may
// add entries there, not change what is ours); the folder itself, when it
// exists, is a folder that nobody else owns or may change, and so is every
// entry inside it, at any depth, and none of them is a link or junction. A
// folder that does not exist yet is made by the check itself (with the
// protected DACL, owned by the Administrators) and judged again: whoever made
// it first in the meantime fails the second look.
//
// Why an empty folder is held to the same rule, not let through: its owner
// (or anyone its DACL let in) may have opened it beforehand for adding files
// and changing its DACL, and an open handle keeps what it was granted after
// the package resets owner and DACL. Such a user could add a library beside
// velmor-helper.exe after the check that follows the copying and before the
// service starts, and no check can see another process's handles. Making a
// missing folder here, rather than letting the package make it later, closes
// the same gap for a folder someone creates while the install runs.
//
// With the unsafe-folder allowance, the folder and those above it are not
// judged (others may change them: that is what the allowance accepts), but
// what is inside still is: the allowance was never a choice to install over
// files someone else put there, which Windows Installer keeps when their
// version is higher, nor to run a library planted beside the executable.
//
// What cannot be seen: a handle opened while an earlier, looser DACL was in
// force on a folder that is trusted now (a restart clears those).
//
// Portable; the reading, listing and making are given. Main thread.

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "base/error.hpp"
#include "trust/file_trust.hpp"

namespace velmor::trust {

// The names of the entries in a folder; an error when it cannot be listed.
using FolderLister = std::function<Result<std::vector<std::filesystem::path>>(const std::filesystem::path&)>;

// Makes one folder with the protected DACL; one that exists already is no
// error (it is judged like any other).
using FolderMaker = std::function<Result<>(const std::filesystem::path&)>;

struct InstallFolderAccess {
    EntryReader read;
    FolderLister list;
    FolderMaker make;
};

// Lists a folder through std::filesystem, never following a link.
Result<std::vector<std::filesystem::path>> list_folder(const std::filesystem::path& folder);

// The first entry that fails the rule above, in the words of the program
// folder's check ("it is a link or junction", "{who}, its owner, may change
// it", "it cannot be checked" with the failed read or listing as cause, "it
// cannot be made" with the failed making as cause); none when the install may
// go on, the folder then existing. With `permissions_kept` false (a volume
// that keeps no owner and DACL) only kinds and links are judged.
std::optional<Unsafe> find_unsafe_install_folder(const std::filesystem::path& folder,
                                                 const InstallFolderAccess& access, bool permissions_kept,
                                                 bool unsafe_folder_allowed);

}  // namespace velmor::trust
