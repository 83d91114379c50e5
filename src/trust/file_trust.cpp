#include "trust/file_trust.hpp"

#include <algorithm>

#include "base/path.hpp"

namespace velmor::trust {
namespace {

using rights::MAPPED_ALL;
using rights::MAPPED_EXECUTE;
using rights::MAPPED_READ;
using rights::MAPPED_WRITE;

// What nobody but the trusted may be given on an entry of `role`.
std::uint32_t forbidden_for(TrustRole role) {
    if (role == TrustRole::Ancestor)
        return rights::DELETE_ENTRY | rights::DELETE_CHILD | rights::CHANGE_DACL | rights::CHANGE_OWNER;
    if (role == TrustRole::Private) return ~std::uint32_t{0};
    return ~rights::READ_AND_EXECUTE;
}

}  // namespace

std::uint32_t map_generic(std::uint32_t mask) {
    std::uint32_t mapped = mask & ~(rights::ALL_GENERIC | rights::EXECUTE_GENERIC | rights::WRITE_GENERIC |
                                    rights::READ_GENERIC);
    if ((mask & rights::READ_GENERIC) != 0) mapped |= MAPPED_READ;
    if ((mask & rights::WRITE_GENERIC) != 0) mapped |= MAPPED_WRITE;
    if ((mask & rights::EXECUTE_GENERIC) != 0) mapped |= MAPPED_EXECUTE;
    if ((mask & rights::ALL_GENERIC) != 0) mapped |= MAPPED_ALL;
    return mapped;
}

std::optional<std::string> who_may_change(TrustRole role, const Permissions& permissions) {
    if (permissions.shut_out) return "its permissions shut the helper out";
    if (!permissions.owner) return "anyone may change it: it has no owner";
    // The owner may always change the DACL.
    if (!permissions.owner->trusted) return permissions.owner->name + ", its owner, may change it";
    if (!permissions.dacl) return "everyone may change it: it has no DACL";
    const std::uint32_t forbidden = forbidden_for(role);
    for (const AccessEntry& entry : *permissions.dacl) {
        if (entry.unknown_kind) return entry.who.name + " may change it: its DACL holds an entry of a kind files never carry";
        if (entry.who.trusted) continue;
        // CREATOR OWNER gives its rights to whoever creates something inside,
        // on that new entry only: who may create is decided by the other
        // entries, and what was created is checked on its own where SYSTEM
        // uses it.
        if (entry.who.creator_owner) continue;
        // Inherit-only entries reach only what is created inside: for an
        // ancestor that is nothing on the path, for a file nothing at all.
        // In a folder SYSTEM uses they reach the files dropped there later.
        if (entry.inherit_only && role != TrustRole::ProgramFolder && role != TrustRole::DataFolder) continue;
        if ((map_generic(entry.mask) & forbidden) != 0)
            return entry.who.name + (role == TrustRole::Private ? " may open it" : " may change it");
    }
    return std::nullopt;
}

std::optional<std::string> entry_problem(const EntryFacts& facts, EntryKind wanted, TrustRole role) {
    const bool data_folder = role == TrustRole::DataFolder;
    if (facts.kind == EntryKind::Link) {
        if (data_folder) return "a link";
        return role == TrustRole::Private ? "it is a link" : "it is a link or junction";
    }
    if (facts.kind != wanted) {
        if (data_folder) return "not a folder";
        return wanted == EntryKind::Folder ? "it is not a folder" : "it is not a file";
    }
    if (!facts.permissions) return std::nullopt;
    return who_may_change(role, *facts.permissions);
}

std::optional<Unsafe> find_unsafe(const std::filesystem::path& folder, const std::vector<std::filesystem::path>& files,
                                  const EntryReader& reader, bool permissions_kept) {
    std::vector<std::filesystem::path> chain;
    for (std::filesystem::path at = folder;;) {
        chain.push_back(at);
        std::filesystem::path parent = at.parent_path();
        if (parent.empty() || parent == at) break;
        at = std::move(parent);
    }
    std::reverse(chain.begin(), chain.end());

    const auto check = [&](const std::filesystem::path& path, EntryKind wanted, TrustRole role,
                           bool may_be_missing) -> std::optional<Unsafe> {
        Result<std::optional<EntryFacts>> read = reader(path);
        if (!read) return Unsafe{path, "it cannot be checked", std::move(read.error())};
        if (!*read) {
            if (may_be_missing) return std::nullopt;
            return Unsafe{path, "it cannot be found", std::nullopt};
        }
        EntryFacts& facts = **read;
        // A volume's root is no link on Windows, whatever Wine reports for
        // its drives (symbolic links in its prefix).
        if (facts.kind == EntryKind::Link && path.parent_path() == path) facts.kind = wanted;
        if (!permissions_kept) facts.permissions.reset();
        if (std::optional<std::string> problem = entry_problem(facts, wanted, role))
            return Unsafe{path, std::move(*problem), std::nullopt};
        return std::nullopt;
    };
    for (const std::filesystem::path& path : chain) {
        const TrustRole role = path == folder ? TrustRole::ProgramFolder : TrustRole::Ancestor;
        if (std::optional<Unsafe> unsafe = check(path, EntryKind::Folder, role, false)) return unsafe;
    }
    for (const std::filesystem::path& file : files)
        if (std::optional<Unsafe> unsafe = check(file, EntryKind::File, TrustRole::File, true)) return unsafe;
    return std::nullopt;
}

Error unsafe_error(const std::string& what, const Unsafe& unsafe) {
    std::string message = what + " is not safe: " + path_to_utf8(unsafe.path) + ": " + unsafe.reason;
    if (unsafe.cause) return Error(std::move(message), *unsafe.cause);
    return Error(std::move(message));
}

}  // namespace velmor::trust
