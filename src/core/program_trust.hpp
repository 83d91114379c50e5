#pragma once
// The program folder's check (trust/program_files.hpp) as the helper runs
// it: with the running executable, the core library's name, the volume's
// answer, the allowance recorded at install and the log. Runs at install, at
// service start, before each start of a core and before each load of the
// core library; on the thread that does those, with no lock held.

#include <filesystem>
#include <optional>
#include <string>

#include "base/error.hpp"
#include "trust/file_trust.hpp"

namespace velmor {

// trust::find_unsafe_program_files for the running executable. Where the
// folder's volume keeps no permissions (trust::permissions_kept) only links
// and kinds are checked, and "program folder: permissions cannot be enforced
// on this volume: {folder}" is logged once per process.
std::optional<trust::Unsafe> find_unsafe_program_files(const std::filesystem::path& folder);

// Whether the administrator accepted an unsafe program folder at install:
// false when nothing is recorded (and on POSIX, which keeps no such record),
// an error when the record cannot be read. REG_DWORD 1 from the install
// command, REG_SZ "1" from the package's ALLOWUNSAFEFOLDER property (another
// text, empty when it was not set, allows nothing); a key that others may
// change allows nothing.
Result<bool> read_unsafe_folder_allowance();

// trust::decide_program_trust with the recorded allowance, into the log.
Result<> decide_program_trust(const std::string& what, const std::optional<trust::Unsafe>& unsafe);

// decide_program_trust("core library", ...) for the executable's folder:
// the check before a core starts and before the core library is loaded.
Result<> check_core_library_trust(const std::filesystem::path& folder);

}  // namespace velmor
