#include "control/actions.hpp"

#include "control/config_check.hpp"
#include "core/core_controller.hpp"
#include "core/core_library.hpp"
#include "core/program_trust.hpp"
#include "env/data_folder.hpp"
#include "env/locations.hpp"

namespace velmor {

Result<> start_action(std::optional<std::string> config, CoreShared& core) {
    if (Result<> checked = check_config(config); !checked) return checked;

    // A start that would be refused touches nothing: the running core has
    // its folder and its Wintun library in use.
    if (Result<> allowed = check_start_allowed(core); !allowed) return allowed;

    std::filesystem::path data_dir = service_data_dir();
    std::filesystem::path log_path = core_log_path();
    // A folder that someone else could write, or a Wintun library that is
    // not the installed one, refuses the start. The folders stay held until
    // the start has been decided.
    Result<PreparedDataFolder> prepared = prepare_data_folder(data_dir);
    if (!prepared) return fail(std::move(prepared.error()));
    // What SYSTEM copies and loads from the program folder, on every start:
    // the library may be loaded already, and wintun.dll is copied anew.
    Result<std::filesystem::path> folder = exe_dir();
    if (!folder) return fail(std::move(folder.error()));
    if (Result<> trusted = check_core_library_trust(*folder); !trusted) return trusted;
    if (Result<> wintun = ensure_wintun(data_dir); !wintun) return wintun;

    if (Result<CoreLibrary> library = load_core_library(); !library)
        return fail(std::move(library.error()).context("load core library"));

    return start_core(core, std::move(*config), std::move(data_dir), std::move(log_path));
}

Result<> stop_action(CoreShared& core) { return stop_core(core); }

}  // namespace velmor
