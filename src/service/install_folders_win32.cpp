#include "service/install_folders.hpp"

#include "env/data_folder.hpp"
#include "env/locations.hpp"

namespace velmor {

Result<> prepare_install_folders(bool allow_unsafe_folder) {
    Result<std::filesystem::path> folder = exe_dir();
    if (!folder) return fail(std::move(folder.error()));
    // The service runs the executable and loads the core library from there
    // as SYSTEM.
    if (Result<> safe = check_program_folder(*folder); !safe && !allow_unsafe_folder)
        return fail(Error(safe.error().message() + " (install with --allow-unsafe-folder to accept it)"));
    Result<PreparedDataFolder> prepared = prepare_data_folder(service_data_dir());
    if (!prepared) return fail(std::move(prepared.error()));
    return {};
}

}  // namespace velmor
