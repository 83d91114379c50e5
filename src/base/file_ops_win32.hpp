#pragma once
// The rename of base/file_ops.hpp through a handle already open on the
// entry, for a caller that checked which entry it holds.

#include <filesystem>

#include "base/error.hpp"
#include "base/file_ops.hpp"
#include "base/win.hpp"

namespace velmor::file_ops {

// Renames the entry open as `file` (opened with DELETE) to `to`:
// SetFileInformationByHandle with FileRenameInfo and ReplaceIfExists from
// `how`, or for ReplaceEvenIfOpen FileRenameInfoEx with its two flags (see
// Rename). Error: "SetFileInformationByHandle failed".
Result<> rename_open_file(HANDLE file, const std::filesystem::path& to, Rename how);

}  // namespace velmor::file_ops
