#pragma once
// The Windows half of the entry module, for a handle someone else opened
// (the log file's own).

#include "base/win.hpp"
#include "trust/entry.hpp"

namespace velmor::trust {

// What the handle is (its attribute tag) and, with `with_permissions`, its
// owner and DACL; the handle needs READ_CONTROL for those.
Result<EntryFacts> facts_of(HANDLE handle, bool with_permissions);

// Opens the entry at `path` itself (never what a link points to) with
// `access`, sharing everything, with the backup and restore privileges
// enabled for the open where the token holds them; checked to be
// `identity` ("replaced while it was being checked" otherwise).
Result<unique_handle> open_entry_checked(const std::filesystem::path& path, DWORD access,
                                         const EntryIdentity& identity);

}  // namespace velmor::trust
