#pragma once
// Preparing the service data folder before a core starts: the folders and
// the Wintun library the core needs. Runs on the pipe server's thread while
// it handles one start request; shares nothing and takes no lock.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "base/error.hpp"

namespace velmor {

// Creates `folder` and every missing ancestor (no security attributes: new
// folders inherit their parent's permissions). A folder that already exists
// is no error. Callers of the start path ignore the result.
Result<> create_folder_all(const std::filesystem::path& folder);

// Whether a "wintun.dll" found in the service data folder may be kept.
enum class WintunPlacement : std::uint8_t {
    KeepExisting,     // the folder was safe: a copy in place is never replaced
    ReplaceExisting,  // the folder was unsafe until now: a copy in place is not trusted
};

// What preparing the data folder found.
struct DataFolderReport {
    // Set when `Velmor` or `service` was repaired or stood as a link, so
    // whatever was inside came from someone who could write there.
    bool untrusted = false;
    WintunPlacement wintun_placement() const {
        return untrusted ? WintunPlacement::ReplaceExisting : WintunPlacement::KeepExisting;
    }
};

// Prepares `Velmor` and `Velmor\service` (the parent of `service_data_dir`)
// and checks a `log` folder already inside, so that no one but SYSTEM and
// the Administrators can write there:
// - a link (any reparse point) in place of one of them is removed, never
//   followed, and a real folder is made instead ("data folder: removed a
//   link in place of {path}");
// - a missing folder is created with the protected descriptor (the `log`
//   folder is left to start_core, and inherits it);
// - a folder found with another owner, or granting anyone else more than
//   read and execute, is given owner and protected descriptor ("data folder:
//   repaired unsafe permissions on {path}"); when that is refused (not
//   elevated) the folder is used as it is ("data folder: cannot repair
//   unsafe permissions on {path}: {error}").
// Folders above `Velmor` are created as create_folder_all does. Fails only
// when a link cannot be removed: the core must not work through it. On POSIX
// the same with owner and mode bits. Pipe server thread; takes no lock.
Result<DataFolderReport> prepare_data_folder(const std::filesystem::path& service_data_dir);

// Makes sure the service data folder holds "wintun.dll": with KeepExisting,
// anything already there (any file, even a folder) counts as present and is
// never replaced; otherwise the copy next to the executable is placed there,
// replacing a file in place when told to. A failed copy logs "ensure_wintun:
// copy failed: " with the system error and leaves nothing behind; nothing
// here fails the start.
void ensure_wintun(const std::filesystem::path& service_data_dir,
                   WintunPlacement placement = WintunPlacement::KeepExisting);

namespace detail {

// ensure_wintun with the source folder given.
void place_wintun(const std::filesystem::path& source_dir, const std::filesystem::path& service_data_dir,
                  WintunPlacement placement = WintunPlacement::KeepExisting);

// What secure_folder found and did.
enum class FolderState : std::uint8_t {
    Absent,        // missing and not to be created, not a folder, or could not be created
    Created,       // made by this call with the protected descriptor
    Safe,          // already safe; left exactly as it was
    Repaired,      // owner and protected descriptor set
    RepairFailed,  // unsafe and left so; `repair_error` says why
};

struct FolderOutcome {
    FolderState state = FolderState::Absent;
    bool link_removed = false;
    std::optional<Error> repair_error;
};

// One folder of prepare_data_folder, without logging. `create`: make it when
// missing. Fails only when a link in its place cannot be removed.
Result<FolderOutcome> secure_folder(const std::filesystem::path& folder, bool create);

// True when the path's metadata can be read, following links (any kind of
// entry). The file may be locked against opening.
bool path_metadata_readable(const std::filesystem::path& path);

// Copies `source` to `destination`, overwriting it. The error's message is
// the system error text.
Result<> copy_file_over(const std::filesystem::path& source, const std::filesystem::path& destination);

// Outcome of moving a finished copy into place.
enum class PlaceOutcome : std::uint8_t { Placed, AlreadyPresent };

// Renames `from` to `to`, replacing what is there.
Result<> rename_replacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Renames `from` to `to` unless `to` exists. The error's message is the
// system error text.
Result<PlaceOutcome> rename_without_replacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file; failures are ignored.
void remove_file_quietly(const std::filesystem::path& path);

// A name for this process's temporary copy, unique among processes.
std::filesystem::path::string_type temporary_copy_suffix();

}  // namespace detail
}  // namespace velmor
