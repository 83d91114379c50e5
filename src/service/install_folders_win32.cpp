#include "service/install_folders.hpp"

#include <string>

#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/win.hpp"
#include "core/program_trust.hpp"
#include "env/data_folder.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

constexpr const wchar_t* HELPER_KEY = L"SOFTWARE\\Velmor\\Helper";
constexpr const wchar_t* ALLOWANCE_VALUE = L"AllowUnsafeFolder";

Error registry_error(const char* call, LSTATUS status) {
    return Error("cannot record the choice of --allow-unsafe-folder",
                 Error(std::string(call) + " failed: " + std::to_string(status), os_error(static_cast<DWORD>(status))));
}

}  // namespace

Result<> record_unsafe_folder_allowance(bool allowed) {
    if (!allowed) {
        const LSTATUS status = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, HELPER_KEY, ALLOWANCE_VALUE);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return fail(registry_error("RegDeleteKeyValueW", status));
        return {};
    }
    HKEY raw = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, HELPER_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                     nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS) return fail(registry_error("RegCreateKeyExW", status));
    const unique_hkey key(raw);
    const DWORD one = 1;
    status = RegSetValueExW(key.get(), ALLOWANCE_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    if (status != ERROR_SUCCESS) return fail(registry_error("RegSetValueExW", status));
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
    if (const std::optional<trust::Unsafe> unsafe = find_unsafe_program_files(*folder)) {
        const Error error = trust::unsafe_error("program folder", *unsafe);
        if (!allow_unsafe_folder) {
            std::string message = error.message() + " (install with --allow-unsafe-folder to accept it)";
            if (unsafe->cause) return fail(Error(std::move(message), *unsafe->cause));
            return fail(std::move(message));
        }
        log_message("warning: " + error.message() + " (accepted with --allow-unsafe-folder)");
    }
    Result<PreparedDataFolder> prepared = prepare_data_folder(service_data_dir());
    if (!prepared) return fail(std::move(prepared.error()));
    return {};
}

}  // namespace velmor
