#pragma once
// One entry SYSTEM is about to trust, seen through a handle on the entry
// itself, never through a link: what it is, which file it is, who may change
// it, and whether its volume keeps permissions at all. The data folders, the
// log files and the program folder's check all read entries here and judge
// them with entry_problem (file_trust.hpp). Any thread; no shared state.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "base/error.hpp"
#include "base/native_handle.hpp"
#include "trust/file_trust.hpp"

namespace velmor::trust {

// Which file an entry is: equal values, the same file.
struct EntryIdentity {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
    std::uint64_t file_high = 0;
    bool operator==(const EntryIdentity&) const = default;
};

// One entry opened as itself. While it is open, no one can delete or rename
// it (Windows).
struct OpenedEntry {
    NativeHandle handle;
    EntryIdentity identity;
    // Opened without the right to read its security (Windows): its DACL
    // shuts the helper out.
    bool security_unreadable = false;
};

struct Entry {
    OpenedEntry opened;
    EntryKind kind = EntryKind::Other;
};

// Opens the entry at `path` itself, for reading its attributes and security,
// sharing reading and writing but not deletion. Empty when nothing is there.
// Windows: a DACL that refuses reading it still lets it open (its
// permissions then read as shut out); the system opening what a link points
// to instead (Wine) is an error, never the link's target taken for it.
Result<std::optional<Entry>> open_entry(const std::filesystem::path& path);

// The owner and DACL of an opened entry.
Result<Permissions> entry_permissions(const OpenedEntry& entry);

// True when `path` still names the entry (Windows: the final path of its
// handle and the file the path opens now; POSIX: the same device and inode).
Result<bool> entry_is_at(const OpenedEntry& entry, const std::filesystem::path& path);

// Renames the entry at `path` to `aside`, never replacing anything there,
// through a handle opened on the entry itself and checked to be `identity`.
Result<> rename_entry_aside(const std::filesystem::path& path, const EntryIdentity& identity,
                            const std::filesystem::path& aside);

// Sets the entry at `path` aside as "{path}.untrusted-{time}" (open_entry,
// then rename_entry_aside): that name, or none when nothing was there.
Result<std::optional<std::filesystem::path>> set_entry_aside(const std::filesystem::path& path);

// ".untrusted-{time}" for a set-aside name; increasing within a process.
std::filesystem::path::string_type untrusted_suffix();

// The entry at `path` read by path, shared every way (so that a library a
// running core holds loaded is read too), with its permissions: none when
// nothing is there, an error when it cannot be read. A link that the system
// followed all the same (Wine) reads as a link.
Result<std::optional<EntryFacts>> read_entry(const std::filesystem::path& path);

// Whether the volume that holds the opened entry keeps owners and DACLs,
// asked of the entry's own handle (Windows: FILE_PERSISTENT_ACLS from
// GetVolumeInformationByHandleW; POSIX: any file system but FAT and exFAT,
// which keep no owner or mode). True where it cannot be told: the checks
// then apply, and fail closed. Under Wine, which reports the flag though it
// keeps nothing set and shows a DACL made from the Unix mode: false.
bool permissions_kept(const OpenedEntry& entry);

// Whether this system keeps no owner or DACL on any volume (Wine); then
// permissions_kept is false everywhere.
bool keeps_no_permissions_anywhere();

// permissions_kept for the entry at `path`, opened as open_entry opens it;
// false where nothing is kept anywhere, else true when nothing is there or it
// cannot be opened.
bool permissions_kept(const std::filesystem::path& path);

}  // namespace velmor::trust
