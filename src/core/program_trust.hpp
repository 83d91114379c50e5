#pragma once
// What SYSTEM runs, loads and copies from the program folder, checked before
// it does: the folder and each of its ancestors up to the volume's root, the
// executable, the core library, wintun.dll and every other library there
// (the loader resolves the core library's imports from that folder first)
// (trust::find_unsafe). Runs at
// install, at service start, before each start of a core and before each
// load of the core library; on the thread that does those, with no lock held.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "base/names.hpp"  // UNSAFE_FOLDER_ALLOWANCE: where install records the allowance
#include "trust/file_trust.hpp"

namespace velmor {

// The first entry under or above `folder` that SYSTEM should not trust, or
// none. Where the folder's volume keeps no permissions
// (trust::permissions_kept) only links and kinds are checked, and "program folder: permissions
// cannot be enforced on this volume: {folder}" is logged once per process.
std::optional<trust::Unsafe> find_unsafe_program_files(const std::filesystem::path& folder);

// find_unsafe_program_files with the running executable's path (`exe`), the
// reader and the volume's answer given. Fails closed: an executable path
// that cannot be read, or a folder that cannot be listed, makes the folder
// "it cannot be checked", with the failure as cause.
std::optional<trust::Unsafe> find_unsafe_program_files(const std::filesystem::path& folder,
                                                       const Result<std::filesystem::path>& exe,
                                                       const trust::EntryReader& reader, bool permissions_kept);

// Whether the administrator accepted an unsafe program folder at install:
// false when nothing is recorded (and on POSIX, which keeps no such record),
// an error when the record cannot be read.
Result<bool> read_unsafe_folder_allowance();

// What an unsafe finding does: nothing without one; with one, a warning line
// ("warning: {what} is not safe: {path}: {reason} (allowed at install)") and
// success when the allowance is recorded; otherwise the error "{what} is not
// safe: {path}: {reason}", logged in full, and "cannot read {allowance}:
// {cause}" when the allowance could not be read. A failed check and an
// unreadable allowance both refuse.
Result<> decide_program_trust(const std::string& what, const std::optional<trust::Unsafe>& unsafe,
                              const Result<bool>& allowed);

// decide_program_trust("core library", ...) for the executable's folder:
// the check before a core starts and before the core library is loaded.
Result<> check_core_library_trust(const std::filesystem::path& folder);

}  // namespace velmor
