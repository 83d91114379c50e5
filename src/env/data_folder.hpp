#pragma once
// Preparing the service data folder before a core starts: the folders and
// the Wintun library the core needs. Runs on the pipe server's thread while
// it handles one start request; shares nothing and takes no lock.

#include <cstdint>
#include <filesystem>

#include "base/error.hpp"

namespace velmor {

// Creates `folder` and every missing ancestor (no security attributes: new
// folders inherit their parent's permissions). A folder that already exists
// is no error. Callers of the start path ignore the result.
Result<> create_folder_all(const std::filesystem::path& folder);

// Makes sure the service data folder holds "wintun.dll": anything already
// there (any file, even a folder) counts as present and is never replaced;
// otherwise the copy next to the executable is placed there. A failed copy
// logs "ensure_wintun: copy failed: " with the system error and leaves
// nothing behind; nothing here fails the start.
void ensure_wintun(const std::filesystem::path& service_data_dir);

namespace detail {

// ensure_wintun with the source folder given.
void place_wintun(const std::filesystem::path& source_dir, const std::filesystem::path& service_data_dir);

// True when the path's metadata can be read, following links (any kind of
// entry). The file may be locked against opening.
bool path_metadata_readable(const std::filesystem::path& path);

// Copies `source` to `destination`, overwriting it. The error's message is
// the system error text.
Result<> copy_file_over(const std::filesystem::path& source, const std::filesystem::path& destination);

// Outcome of moving a finished copy into place.
enum class PlaceOutcome : std::uint8_t { Placed, AlreadyPresent };

// Renames `from` to `to` unless `to` exists. The error's message is the
// system error text.
Result<PlaceOutcome> rename_without_replacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file; failures are ignored.
void remove_file_quietly(const std::filesystem::path& path);

// A name for this process's temporary copy, unique among processes.
std::filesystem::path::string_type temporary_copy_suffix();

}  // namespace detail
}  // namespace velmor
