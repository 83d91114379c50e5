#include "core/program_trust.hpp"

#include <atomic>

#include "base/names.hpp"
#include "base/path.hpp"
#include "core/core_library.hpp"
#include "env/locations_platform.hpp"
#include "env/log.hpp"
#include "env/settings.hpp"
#include "trust/entry.hpp"
#include "trust/program_files.hpp"

namespace velmor {

std::optional<trust::Unsafe> find_unsafe_program_files(const std::filesystem::path& folder) {
    // Asked of the program folder's own volume.
    const bool kept = trust::permissions_kept(folder);
    if (!kept) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            log_message("program folder: permissions cannot be enforced on this volume: " + path_to_utf8(folder));
    }
    return trust::find_unsafe_program_files(folder, detail::current_exe(), core_library_file_name(), trust::read_entry,
                                            kept);
}

Result<bool> read_unsafe_folder_allowance() { return settings::read_flag(settings::ALLOW_UNSAFE_FOLDER); }

Result<> decide_program_trust(const std::string& what, const std::optional<trust::Unsafe>& unsafe) {
    if (!unsafe) return {};
    return trust::decide_program_trust(what, unsafe, read_unsafe_folder_allowance(), UNSAFE_FOLDER_ALLOWANCE,
                                       [](bool warning, const std::string& line) {
                                           log_message(warning ? LogLevel::warning : LogLevel::info, line);
                                       });
}

Result<> check_core_library_trust(const std::filesystem::path& folder) {
    return decide_program_trust("core library", find_unsafe_program_files(folder));
}

}  // namespace velmor
