#include "core/program_trust.hpp"

#include <atomic>
#include <vector>

#include "base/path.hpp"
#include "core/core_library.hpp"
#include "env/data_folder.hpp"
#include "env/locations.hpp"
#include "env/locations_platform.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

constexpr std::filesystem::path::value_type WINTUN_NAME[] = {'w', 'i', 'n', 't', 'u', 'n', '.', 'd', 'l', 'l', 0};

}  // namespace

std::optional<trust::Unsafe> find_unsafe_program_files(const std::filesystem::path& folder) {
    // The running executable by its own name: a check that cannot say which
    // file that is fails closed.
    Result<std::filesystem::path> exe = detail::current_exe();
    if (!exe) return trust::Unsafe{folder, "it cannot be checked", std::move(exe.error())};
    std::vector<std::filesystem::path> files{exe->filename()};
    files.emplace_back(core_library_file_name());
    files.emplace_back(WINTUN_NAME);
    for (std::filesystem::path& file : files) file = join_path(folder, file.native());

    const bool kept = detail::folder_permissions_kept(service_data_dir().parent_path().parent_path());
    if (!kept) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            log_message("program folder: permissions cannot be enforced on this volume: " + path_to_utf8(folder));
    }
    return trust::find_unsafe(folder, files, trust::read_entry, kept);
}

Result<> decide_program_trust(const std::string& what, const std::optional<trust::Unsafe>& unsafe,
                              const Result<bool>& allowed) {
    if (!unsafe) return {};
    Error error = trust::unsafe_error(what, *unsafe);
    if (allowed && *allowed) {
        log_message("warning: " + error.message() + " (allowed at install)");
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
