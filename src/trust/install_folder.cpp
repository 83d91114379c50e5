#include "trust/install_folder.hpp"

#include <algorithm>

#include "base/os_error.hpp"

namespace velmor::trust {
namespace {

namespace fs = std::filesystem;

// The entry at `at` as the rule sees it: a volume's root is never a link
// (Wine shows its drives as links), and without kept permissions only the
// kind counts.
Result<std::optional<EntryFacts>> read_facts(const fs::path& at, const EntryReader& read, bool permissions_kept) {
    Result<std::optional<EntryFacts>> facts = read(at);
    if (!facts || !*facts) return facts;
    if ((*facts)->kind == EntryKind::Link && at.parent_path() == at) (*facts)->kind = EntryKind::Folder;
    if (!permissions_kept) (*facts)->permissions.reset();
    return facts;
}

// Every entry inside `folder`, at any depth: a folder nobody else may add to
// or change, a file nobody else may change; no link, nothing else.
std::optional<Unsafe> find_unsafe_inside(const fs::path& folder, const InstallFolderAccess& access,
                                         bool permissions_kept) {
    std::vector<fs::path> folders{folder};
    while (!folders.empty()) {
        const fs::path at = std::move(folders.back());
        folders.pop_back();
        Result<std::vector<fs::path>> names = access.list(at);
        if (!names) return Unsafe{at, "it cannot be checked", std::move(names.error())};
        std::sort(names->begin(), names->end());
        for (const fs::path& name : *names) {
            const fs::path entry = at / name;
            Result<std::optional<EntryFacts>> facts = read_facts(entry, access.read, permissions_kept);
            if (!facts) return Unsafe{entry, "it cannot be checked", std::move(facts.error())};
            if (!*facts) continue;  // gone: only the trusted may remove what is here
            const bool is_folder = (*facts)->kind == EntryKind::Folder;
            const EntryKind wanted = is_folder ? EntryKind::Folder : EntryKind::File;
            const TrustRole role = is_folder ? TrustRole::ProgramFolder : TrustRole::File;
            if (std::optional<std::string> problem = entry_problem(**facts, wanted, role))
                return Unsafe{entry, std::move(*problem), std::nullopt};
            if (is_folder) folders.push_back(entry);
        }
    }
    return std::nullopt;
}

// One look from the root down: the first unsafe entry, or the folders that
// do not exist yet (the first missing one and each below it).
std::optional<Unsafe> look(const fs::path& folder, const InstallFolderAccess& access, bool permissions_kept,
                           bool unsafe_folder_allowed, std::vector<fs::path>& missing) {
    std::vector<fs::path> chain;
    for (fs::path at = folder;;) {
        chain.push_back(at);
        fs::path parent = at.parent_path();
        if (parent.empty() || parent == at) break;
        at = std::move(parent);
    }
    std::reverse(chain.begin(), chain.end());
    for (std::size_t i = 0; i < chain.size(); ++i) {
        Result<std::optional<EntryFacts>> facts = read_facts(chain[i], access.read, permissions_kept);
        if (!facts) return Unsafe{chain[i], "it cannot be checked", std::move(facts.error())};
        if (!*facts) {
            missing.assign(chain.begin() + static_cast<std::ptrdiff_t>(i), chain.end());
            return std::nullopt;
        }
        if (unsafe_folder_allowed) continue;
        const TrustRole role = chain[i] == folder ? TrustRole::ProgramFolder : TrustRole::Ancestor;
        if (std::optional<std::string> problem = entry_problem(**facts, EntryKind::Folder, role))
            return Unsafe{chain[i], std::move(*problem), std::nullopt};
    }
    return find_unsafe_inside(folder, access, permissions_kept);
}

}  // namespace

Result<std::vector<fs::path>> list_folder(const fs::path& folder) {
    std::vector<fs::path> names;
    std::error_code error;
    for (fs::directory_iterator at(folder, error), end; !error && at != end; at.increment(error))
        names.push_back(at->path().filename());
    if (error) return fail(os_error(static_cast<std::uint32_t>(error.value())).context("cannot list it"));
    return names;
}

std::optional<Unsafe> find_unsafe_install_folder(const fs::path& given, const InstallFolderAccess& access,
                                                 bool permissions_kept, bool unsafe_folder_allowed) {
    // "C:\Velmor\." and "C:\Velmor\" (as the package passes its folder) are
    // "C:\Velmor".
    fs::path folder = given.lexically_normal();
    if (!folder.has_filename() && folder.has_relative_path()) folder = folder.parent_path();
    std::vector<fs::path> missing;
    if (std::optional<Unsafe> unsafe = look(folder, access, permissions_kept, unsafe_folder_allowed, missing))
        return unsafe;
    if (missing.empty()) return std::nullopt;
    for (const fs::path& at : missing)
        if (Result<> made = access.make(at); !made) return Unsafe{at, "it cannot be made", std::move(made.error())};
    missing.clear();
    if (std::optional<Unsafe> unsafe = look(folder, access, permissions_kept, unsafe_folder_allowed, missing))
        return unsafe;
    if (!missing.empty()) return Unsafe{missing.front(), "it cannot be found", std::nullopt};
    return std::nullopt;
}

}  // namespace velmor::trust
