#include "trust/entry.hpp"

namespace velmor::trust {

bool permissions_kept(const std::filesystem::path& path) {
    // Before the open, which may fail for a reason that says nothing of the
    // volume (a link on the path under Wine).
    if (keeps_no_permissions_anywhere()) return false;
    const Result<std::optional<Entry>> entry = open_entry(path);
    return !entry || !*entry || permissions_kept((*entry)->opened);
}

Result<std::optional<std::filesystem::path>> set_entry_aside(const std::filesystem::path& path) {
    Result<std::optional<Entry>> entry = open_entry(path);
    if (!entry) return fail(std::move(entry.error()));
    if (!*entry) return std::optional<std::filesystem::path>();  // gone already
    const EntryIdentity identity = (*entry)->opened.identity;
    entry->reset();  // the rename opens it again, with the right to delete
    std::filesystem::path aside(path.native() + untrusted_suffix());
    if (Result<> moved = rename_entry_aside(path, identity, aside); !moved) return fail(std::move(moved.error()));
    return std::optional<std::filesystem::path>(std::move(aside));
}

}  // namespace velmor::trust
