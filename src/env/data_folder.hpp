#pragma once
// Preparing the service data folder before a core starts: the folders and
// the Wintun library the core needs. Runs on the pipe server's thread while
// it handles one start request, and once when the helper starts and in the
// install command (prepare_data_folder only); shares nothing but a
// once-per-process probe and takes no lock.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace velmor {

// Creates `folder` and every missing ancestor (no security attributes: new
// folders inherit their parent's permissions). A folder that already exists
// is no error.
Result<> create_folder_all(const std::filesystem::path& folder);

namespace detail {

// One entry opened as itself, never through a link; defined per platform.
// While it is open, no one can delete or rename it (Windows).
struct OpenedEntry;
struct OpenedEntryCloser {
    void operator()(OpenedEntry* entry) const;
};
using EntryHandle = std::unique_ptr<OpenedEntry, OpenedEntryCloser>;

}  // namespace detail

// `Velmor` and `Velmor\service`, checked and held open, so that neither can
// be renamed, deleted or swapped for something else until this goes (the end
// of the start action). Move-only.
class PreparedDataFolder {
public:
    PreparedDataFolder() = default;
    explicit PreparedDataFolder(std::vector<detail::EntryHandle> held) : held_(std::move(held)) {}

private:
    std::vector<detail::EntryHandle> held_;
};

// Prepares `Velmor` and `Velmor\service` (the parent of `service_data_dir`)
// and checks a `log` folder already inside, so that no one but SYSTEM and
// the Administrators (on POSIX: root and the process's own user) can write
// there. A folder that is a link of any kind, not a folder at all, or (where
// the volume keeps permissions) owned by anyone else or writable by anyone
// else, is renamed aside through a handle on the entry itself to
// "{name}.untrusted-{time}" in the same parent ("data folder: set aside
// {path} as {aside}: {reason}"); nothing inside it is opened or trusted. A
// missing `Velmor` or `service` is created with the protected descriptor;
// `log` is left to start_core. Whatever cannot be made safe fails: "data
// folder is not safe: {path}: {cause}" (also logged). Folders above `Velmor`
// are created as create_folder_all does. Pipe server thread; takes no lock.
Result<PreparedDataFolder> prepare_data_folder(const std::filesystem::path& service_data_dir);

// Makes the service data folder's "wintun.dll" the same as the one next to
// the executable: a missing copy is placed ("ensure_wintun: copy failed: "
// with the system error is logged when that fails; the start goes on); a
// copy that differs, or is not a regular file, is replaced through a
// temporary name and a rename ("ensure_wintun: replaced a copy that differed
// from the installed one"); when that fails, the error is "wintun.dll in the
// data folder differs from the installed one and cannot be replaced:
// {cause}" (also logged) and the start must be refused. An identical copy is
// left untouched; without a source nothing happens.
Result<> ensure_wintun(const std::filesystem::path& service_data_dir);

namespace detail {

// ensure_wintun with the source folder given.
Result<> place_wintun(const std::filesystem::path& source_dir, const std::filesystem::path& service_data_dir);

// What an entry is, as seen through its own handle.
enum class EntryKind : std::uint8_t { Folder, Link, Other };

// Which file an entry is: equal values, the same file.
struct EntryIdentity {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
    std::uint64_t file_high = 0;
    bool operator==(const EntryIdentity&) const = default;
};

struct Entry {
    EntryHandle handle;
    EntryKind kind = EntryKind::Other;
    EntryIdentity identity;
};

// Opens the entry at `path` itself (never what a link points to), for
// reading its attributes and security, sharing reading and writing but not
// deletion. Empty when nothing is there.
Result<std::optional<Entry>> open_entry(const std::filesystem::path& path);

// Why the folder's owner or permissions let someone else change it
// (trust::who_may_change for a data folder); empty when only SYSTEM, the
// Administrators, TrustedInstaller and the process's user (root) can.
Result<std::optional<std::string>> entry_security_problem(const OpenedEntry& entry);

// True when `path` still names the entry (Windows: the final path of its
// handle; POSIX: the same device and inode).
Result<bool> entry_is_at(const OpenedEntry& entry, const std::filesystem::path& path);

// Renames the entry at `path` to `aside`, never replacing anything there,
// through a handle opened on the entry itself and checked to be `identity`.
Result<> rename_entry_aside(const std::filesystem::path& path, const EntryIdentity& identity,
                            const std::filesystem::path& aside);

// Creates the folder with the protected descriptor (owner and mode). False
// when something already stands there.
Result<bool> create_protected_folder(const std::filesystem::path& folder);

// Whether permissions set on a folder under `parent` are kept, found once per
// process by creating a probe folder with the protected descriptor and
// reading it back. True where it cannot be told.
bool folder_permissions_kept(const std::filesystem::path& parent);

// ".untrusted-{time}" for a set-aside name; increasing within a process.
std::filesystem::path::string_type untrusted_suffix();

// Called at these points of a set-aside, and once both folders are held
// (`Held`, with the service data folder and an empty aside), when set (tests
// only; never in the helper): to act as someone racing the helper.
enum class SetAsideStep : std::uint8_t { BeforeRename, AfterRename, Held };
using SetAsideHook = void (*)(SetAsideStep step, const std::filesystem::path& folder,
                              const std::filesystem::path& aside);
void set_set_aside_hook(SetAsideHook hook);

// How two files compare by size, then content. Fails when either cannot be
// read; `Different` also when `copy` is not a regular file (a link, a folder).
enum class Comparison : std::uint8_t { Same, Different, Missing };
Result<Comparison> compare_with(const std::filesystem::path& source, const std::filesystem::path& copy);

// True when the path's metadata can be read, following links (any kind of
// entry). The file may be locked against opening.
bool path_metadata_readable(const std::filesystem::path& path);

// Copies `source` to `destination`, overwriting it. The error's message is
// the system error text.
Result<> copy_file_over(const std::filesystem::path& source, const std::filesystem::path& destination);

// Renames `from` to `to`, replacing what is there. The error's message is
// the system error text.
Result<> rename_replacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file; failures are ignored.
void remove_file_quietly(const std::filesystem::path& path);

// A name for this process's temporary copy, unique among processes.
std::filesystem::path::string_type temporary_copy_suffix();

}  // namespace detail
}  // namespace velmor
