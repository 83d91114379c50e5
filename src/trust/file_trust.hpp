#pragma once
// Who may change a file or folder that SYSTEM trusts: the one rule for the
// program folder and its ancestors, the helper's own files and the data
// folders; anything else SYSTEM comes to trust takes a role here, not a rule
// of its own. The decision is portable and works on what a reader found
// (owner and access entries, in the Windows file rights):
// file_trust_win32.cpp reads a security descriptor, file_trust_posix.cpp the
// owner and mode bits. Any thread; nothing is shared.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace velmor::trust {

// File access rights with the values Windows gives them, so that a
// descriptor's masks are taken as they are (named apart from the Windows
// macros).
namespace rights {
inline constexpr std::uint32_t READ_DATA = 0x1;         // a folder: list it
inline constexpr std::uint32_t WRITE_DATA = 0x2;        // a folder: add a file
inline constexpr std::uint32_t APPEND_DATA = 0x4;       // a folder: add a subfolder
inline constexpr std::uint32_t READ_EA = 0x8;
inline constexpr std::uint32_t WRITE_EA = 0x10;
inline constexpr std::uint32_t EXECUTE = 0x20;          // a folder: pass through it
inline constexpr std::uint32_t DELETE_CHILD = 0x40;     // delete or rename what is inside
inline constexpr std::uint32_t READ_ATTRIBUTES = 0x80;
inline constexpr std::uint32_t WRITE_ATTRIBUTES = 0x100;
inline constexpr std::uint32_t DELETE_ENTRY = 0x10000;
inline constexpr std::uint32_t READ_SECURITY = 0x20000;
inline constexpr std::uint32_t CHANGE_DACL = 0x40000;
inline constexpr std::uint32_t CHANGE_OWNER = 0x80000;
inline constexpr std::uint32_t WAIT_ON = 0x100000;
inline constexpr std::uint32_t ALL_GENERIC = 0x10000000;
inline constexpr std::uint32_t EXECUTE_GENERIC = 0x20000000;
inline constexpr std::uint32_t WRITE_GENERIC = 0x40000000;
inline constexpr std::uint32_t READ_GENERIC = 0x80000000;
// Reading and executing, generic rights mapped: what anyone may be given.
inline constexpr std::uint32_t READ_AND_EXECUTE = 0x1200a9;
// What the generic rights stand for on files: FILE_GENERIC_READ,
// FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE and FILE_ALL_ACCESS.
inline constexpr std::uint32_t MAPPED_READ = 0x120089;
inline constexpr std::uint32_t MAPPED_WRITE = 0x120116;
inline constexpr std::uint32_t MAPPED_EXECUTE = 0x1200a0;
inline constexpr std::uint32_t MAPPED_ALL = 0x1f01ff;
// (Each value is checked against <windows.h> in file_trust_win32.cpp.)
}  // namespace rights

// The generic rights of `mask` replaced by the file rights they stand for.
std::uint32_t map_generic(std::uint32_t mask);

// An account as a reader names it.
struct Account {
    std::string name;      // "BUILTIN\Users", "uid 1000", "everyone", ...
    bool trusted = false;  // SYSTEM, Administrators, TrustedInstaller, or the process's own user (root)
    bool creator_owner = false;  // CREATOR OWNER: whoever creates something inside
};

// One allow entry of a DACL. Deny entries are not counted on and are not
// passed; an entry of a kind files never carry is passed as `unknown_kind`.
struct AccessEntry {
    Account who;
    std::uint32_t mask = 0;  // generic rights allowed
    bool inherit_only = false;
    bool unknown_kind = false;
};

// An entry's owner and DACL as a reader found them.
struct Permissions {
    std::optional<Account> owner;                    // none: no owner
    std::optional<std::vector<AccessEntry>> dacl;    // none: no DACL, which grants everyone everything
    // The descriptor could not be read because its DACL shuts the helper
    // out: someone else set it.
    bool shut_out = false;
};

// What the entry is to SYSTEM, which decides what nobody else may do:
// - ProgramFolder, DataFolder: nothing but read and execute (no adding,
//   deleting, renaming or re-permissioning, entries for what is created
//   inside included);
// - Ancestor (of the program folder, up to the volume's root): others may add
//   entries, but not delete, rename or re-permission it or what is inside;
//   entries for what is created inside are not its own;
// - File: nothing but read and execute;
// - Private (the log files): nothing at all, not even reading.
enum class TrustRole : std::uint8_t { ProgramFolder, DataFolder, Ancestor, File, Private };

// Why someone other than SYSTEM, the Administrators, TrustedInstaller and the
// process's own user may change the entry: "{who} may change it", "{owner},
// its owner, may change it", "anyone may change it: it has no owner",
// "everyone may change it: it has no DACL", "its permissions shut the helper
// out"; for Private, an entry that grants anything at all is "{who} may open
// it". None when nobody else may.
std::optional<std::string> who_may_change(TrustRole role, const Permissions& permissions);

// What an entry is, as seen through a handle on the entry itself.
enum class EntryKind : std::uint8_t { Folder, File, Link, Other };

// What a reader found of one entry; no permissions where the volume keeps
// none (only the kind is judged then).
struct EntryFacts {
    EntryKind kind = EntryKind::Other;
    std::optional<Permissions> permissions;
};

// The one decision on an entry SYSTEM is about to trust as `wanted` in
// `role`: a link, the wrong kind, or (with permissions) who_may_change. In
// the words each role's log lines use: a data folder "a link", "not a
// folder"; a private file "it is a link", "it is not a file"; the program
// folder, its ancestors and files "it is a link or junction", "it is not a
// folder", "it is not a file". None when it may be trusted.
std::optional<std::string> entry_problem(const EntryFacts& facts, EntryKind wanted, TrustRole role);

// Reads the entry at `path` itself, never through a link: none when nothing
// is there, an error when it cannot be read.
using EntryReader = std::function<Result<std::optional<EntryFacts>>(const std::filesystem::path&)>;

// An entry SYSTEM should not trust: which, why, and the error of a check that
// could not be made.
struct Unsafe {
    std::filesystem::path path;
    std::string reason;
    std::optional<Error> cause;
};

// The folder, each of its ancestors up to the volume's root, and each of
// `files` inside that exists (a missing file is no concern of this check),
// in that order from the root down; the first that is a link or junction
// (the root excepted, which never is one, but Wine shows its drives as links),
// not what it should be (a folder, a file), or that someone else may change,
// or that cannot be read (entry_problem). With `permissions_kept` false (a
// volume that keeps no owner and DACL) only the kinds are checked.
std::optional<Unsafe> find_unsafe(const std::filesystem::path& folder, const std::vector<std::filesystem::path>& files,
                                  const EntryReader& reader, bool permissions_kept);

// "{what} is not safe: {path}: {reason}", with the failed check as cause.
Error unsafe_error(const std::string& what, const Unsafe& unsafe);

}  // namespace velmor::trust
