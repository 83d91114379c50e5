#include "trust/entry.hpp"

#include <map>
#include <mutex>

namespace velmor::trust {

bool permissions_kept(const std::filesystem::path& folder) {
    // Never destroyed: a thread may still ask while the process ends.
    static std::mutex& lock = *new std::mutex;
    static std::map<std::string, bool>& known = *new std::map<std::string, bool>;
    const std::string volume = detail::volume_of(folder);
    if (!volume.empty()) {
        const std::lock_guard guard(lock);
        if (const auto found = known.find(volume); found != known.end()) return found->second;
    }
    const std::optional<bool> kept = detail::probe_permissions(folder);
    if (!kept) return true;
    if (!volume.empty()) {
        const std::lock_guard guard(lock);
        known.insert_or_assign(volume, *kept);
    }
    return *kept;
}

Result<std::optional<std::filesystem::path>> set_entry_aside(const std::filesystem::path& path) {
    Result<std::optional<Entry>> entry = open_entry(path);
    if (!entry) return fail(std::move(entry.error()));
    if (!*entry) return std::optional<std::filesystem::path>();  // gone already
    const EntryIdentity identity = (*entry)->identity;
    entry->reset();  // the rename opens it again, with the right to delete
    std::filesystem::path aside(path.native() + untrusted_suffix());
    if (Result<> moved = rename_entry_aside(path, identity, aside); !moved) return fail(std::move(moved.error()));
    return std::optional<std::filesystem::path>(std::move(aside));
}

}  // namespace velmor::trust
