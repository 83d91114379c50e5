#include "service/install_folders.hpp"

#include <string>

#include "base/path.hpp"
#include "core/program_trust.hpp"
#include "env/data_folder.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"
#include "env/settings.hpp"
#include "trust/program_files.hpp"

namespace velmor {

Result<> record_unsafe_folder_allowance(bool allowed) {
    Result<> recorded = allowed ? settings::set_flag(settings::ALLOW_UNSAFE_FOLDER)
                                : settings::remove_value(settings::ALLOW_UNSAFE_FOLDER);
    if (!recorded) return fail(recorded.error().context("cannot record the choice of --allow-unsafe-folder"));
    return {};
}

Result<> prepare_install_folders(bool allow_unsafe_folder) {
    Result<std::filesystem::path> folder = exe_dir();
    if (!folder) return fail(std::move(folder.error()));
    // The latest choice stands, also when this install is refused: an
    // earlier allowance never outlives it.
    if (Result<> recorded = record_unsafe_folder_allowance(allow_unsafe_folder); !recorded) return recorded;
    // The service runs the executable, loads the core library and copies
    // wintun.dll from there as SYSTEM.
    const std::optional<trust::Unsafe> unsafe = find_unsafe_program_files(*folder);
    if (const trust::ProgramTrust verdict = trust::program_trust(unsafe, allow_unsafe_folder);
        verdict != trust::ProgramTrust::Safe) {
        const Error error = trust::unsafe_error("program folder", *unsafe);
        if (verdict == trust::ProgramTrust::Refused) {
            std::string message = error.message() + " (install with --allow-unsafe-folder to accept it)";
            if (unsafe->cause) return fail(Error(std::move(message), *unsafe->cause));
            return fail(std::move(message));
        }
        log_message(LogLevel::warning, error.message() + " (accepted with --allow-unsafe-folder)");
    }
    Result<PreparedDataFolder> prepared = prepare_data_folder(service_data_dir());
    if (!prepared) return fail(std::move(prepared.error()));
    return {};
}

}  // namespace velmor
