#pragma once
// Renaming and copying files: the system's calls for them, in one place.
// Each makes the call and reports the system's answer as a call_error
// ("{call} failed: {code}"); what a failure means is the caller's to decide.
// Any thread.

#include <cstdint>
#include <filesystem>

#include "base/error.hpp"

namespace velmor::file_ops {

// What a rename does about an entry already at the new name.
enum class Rename : std::uint8_t {
    // Fails, and changes nothing (Windows: MoveFileExW without
    // MOVEFILE_REPLACE_EXISTING, or FILE_RENAME_INFO's ReplaceIfExists FALSE,
    // ERROR_ALREADY_EXISTS; POSIX: renameat2 with RENAME_NOREPLACE, which
    // checks and renames in one step, EEXIST).
    KeepExisting,
    // Replaces a file there in one step (Windows: MOVEFILE_REPLACE_EXISTING,
    // which fails for a folder there, for a read-only file with
    // ERROR_ACCESS_DENIED, and for a file others hold open; POSIX: rename,
    // which replaces atomically).
    ReplaceExisting,
    // ReplaceExisting, also over a file that others hold open with delete
    // sharing (Windows: SetFileInformationByHandle with FileRenameInfoEx and
    // FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS,
    // through a handle on `from` itself, never what a link there points to;
    // known to Windows 10 and later on NTFS; where the class or its flags
    // are unknown (older systems and file systems, Wine) the
    // MOVEFILE_REPLACE_EXISTING rename. POSIX: rename, whose replacement never
    // minds open descriptors).
    ReplaceEvenIfOpen,
};

// Renames the entry at `from` to `to`. Errors: "renameat2 failed" (keeping)
// or "rename failed" (replacing) on POSIX; "MoveFileExW failed", or for
// ReplaceEvenIfOpen "CreateFileW failed" and "SetFileInformationByHandle
// failed", on Windows.
Result<> rename_file(const std::filesystem::path& from, const std::filesystem::path& to, Rename how);

// Copies the file `source` to `destination`, replacing a file there
// (Windows: CopyFileExW with no progress routine and no flags, so without
// COPY_FILE_FAIL_IF_EXISTS, "CopyFileExW failed"; POSIX:
// std::filesystem::copy_file with overwrite_existing, "copy_file failed").
Result<> copy_file_over(const std::filesystem::path& source, const std::filesystem::path& destination);

}  // namespace velmor::file_ops
