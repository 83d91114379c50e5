#include "core/program_trust.hpp"

#include <algorithm>
#include <atomic>
#include <vector>

#include "base/names.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "core/core_library.hpp"
#include "env/locations.hpp"
#include "env/locations_platform.hpp"
#include "env/log.hpp"
#include "trust/entry.hpp"

namespace velmor {
namespace {

// `name` ends in `extension`, in any case (the loader's names are not case
// sensitive).
bool has_extension(const std::filesystem::path::string_type& name, const std::filesystem::path::string_type& extension) {
    const auto lower = [](auto c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    return name.size() > extension.size() &&
           std::equal(extension.begin(), extension.end(), name.end() - static_cast<std::ptrdiff_t>(extension.size()),
                      [&](auto a, auto b) { return lower(a) == lower(b); });
}

}  // namespace

std::optional<trust::Unsafe> find_unsafe_program_files(const std::filesystem::path& folder,
                                                       const Result<std::filesystem::path>& exe,
                                                       const trust::EntryReader& reader, bool permissions_kept) {
    // The running executable by its own name: a check that cannot say which
    // file that is fails closed.
    if (!exe) return trust::Unsafe{folder, "it cannot be checked", exe.error()};
    std::vector<std::filesystem::path> files{exe->filename()};
    files.emplace_back(core_library_file_name());
    files.emplace_back(WINTUN_NAME);
    // Every other library there too, with the core library's extension.
    const std::filesystem::path::string_type extension =
        std::filesystem::path(core_library_file_name()).extension().native();
    std::error_code listed;
    for (std::filesystem::directory_iterator at(folder, listed), end; !listed && at != end; at.increment(listed)) {
        const std::filesystem::path::string_type name = at->path().filename().native();
        if (has_extension(name, extension) && name != core_library_file_name() && name != WINTUN_NAME)
            files.emplace_back(name);
    }
    // A folder that cannot be found is the chain's to report.
    if (listed && listed != std::errc::no_such_file_or_directory)
        return trust::Unsafe{folder, "it cannot be checked",
                             os_error(static_cast<std::uint32_t>(listed.value())).context("cannot list it")};
    for (std::filesystem::path& file : files) file = join_path(folder, file.native());
    return trust::find_unsafe(folder, files, reader, permissions_kept);
}

std::optional<trust::Unsafe> find_unsafe_program_files(const std::filesystem::path& folder) {
    // Asked of the program folder's own volume.
    const bool kept = trust::permissions_kept(folder);
    if (!kept) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            log_message("program folder: permissions cannot be enforced on this volume: " + path_to_utf8(folder));
    }
    return find_unsafe_program_files(folder, detail::current_exe(), trust::read_entry, kept);
}

Result<> decide_program_trust(const std::string& what, const std::optional<trust::Unsafe>& unsafe,
                              const Result<bool>& allowed) {
    if (!unsafe) return {};
    Error error = trust::unsafe_error(what, *unsafe);
    if (allowed && *allowed) {
        log_message(LogLevel::warning, error.message() + " (allowed at install)");
        return {};
    }
    log_message(error.full_description());
    // Then it allows nothing.
    if (!allowed) log_message("cannot read " + std::string(UNSAFE_FOLDER_ALLOWANCE) + ": " + allowed.error().one_line());
    return fail(std::move(error));
}

Result<> check_core_library_trust(const std::filesystem::path& folder) {
    const std::optional<trust::Unsafe> unsafe = find_unsafe_program_files(folder);
    if (!unsafe) return {};
    return decide_program_trust("core library", unsafe, read_unsafe_folder_allowance());
}

}  // namespace velmor
