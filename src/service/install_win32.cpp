#include "service/install.hpp"

#include <string>

#include "base/win.hpp"
#include "env/locations_platform.hpp"
#include "service/install_folders.hpp"
#include "service/service_command_line.hpp"
#include "service/service_runner.hpp"
#include "service/winapi_error.hpp"

namespace velmor {

Result<> install_service(bool allow_unsafe_folder) {
    if (Result<> folders = prepare_install_folders(allow_unsafe_folder); !folders) return folders;

    // Local computer, active services database.
    const unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) return fail(winapi_error(GetLastError()));

    Result<std::filesystem::path> exe = detail::current_exe();
    if (!exe) return fail(std::move(exe.error()));
    // The SCM splits the binary path by the usual argument rules: a path with
    // a space would otherwise run the wrong program or nothing at all.
    const std::wstring binary_path = quote_argument(exe->native());

    const unique_schandle service(CreateServiceW(manager.get(), SERVICE_NAME, SERVICE_DISPLAY_NAME, SERVICE_START,
                                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                                 binary_path.c_str(), nullptr, nullptr, nullptr,
                                                 nullptr,    // LocalSystem
                                                 nullptr));  // no password
    if (!service) return fail(winapi_error(GetLastError()));

    if (!StartServiceW(service.get(), 0, nullptr)) return fail(winapi_error(GetLastError()));
    // The service handle goes before the manager's (reverse declaration order).
    return {};
}

Result<> uninstall_service() {
    const unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return fail(winapi_error(GetLastError()));

    const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_STOP | DELETE));
    if (!service) return fail(winapi_error(GetLastError()));

    // Best effort: a service that is not running, a refused stop, or an odd
    // status all go on to the deletion. No wait for SERVICE_STOPPED: the SCM
    // removes the registration once the service has stopped.
    SERVICE_STATUS status{};
    (void)ControlService(service.get(), SERVICE_CONTROL_STOP, &status);

    if (!DeleteService(service.get())) return fail(winapi_error(GetLastError()));
    return {};
}

}  // namespace velmor
