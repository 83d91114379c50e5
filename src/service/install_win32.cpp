#include "service/install.hpp"

#include <string>

#include "base/win.hpp"
#include "env/locations_platform.hpp"
#include "env/log.hpp"
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

    const unique_schandle service(CreateServiceW(manager.get(), SERVICE_NAME, SERVICE_DISPLAY_NAME,
                                                 SERVICE_START | SERVICE_CHANGE_CONFIG,
                                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                                 binary_path.c_str(), nullptr, nullptr, nullptr,
                                                 nullptr,    // LocalSystem
                                                 nullptr));  // no password
    if (!service) return fail(winapi_error(GetLastError()));

    // Without them the service still runs; it only stays down after a crash
    // until the next boot, so the install goes on.
    const std::vector<Error> unset = configure_recovery(service.get());
    if (!unset.empty()) {
        init_log(exe->parent_path());
        for (const Error& error : unset) log_message("install: " + error.full_description());
    }

    if (!StartServiceW(service.get(), 0, nullptr)) return fail(winapi_error(GetLastError()));
    // The service handle goes before the manager's (reverse declaration order).
    return {};
}

std::vector<Error> configure_recovery(SC_HANDLE service) {
    std::vector<Error> errors;
    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(SERVICE_DESCRIPTION)};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description))
        errors.push_back(Error("cannot set the service description", os_error(GetLastError())));

    SC_ACTION actions[std::size(RESTART_DELAYS_MS)];
    for (std::size_t i = 0; i < std::size(RESTART_DELAYS_MS); ++i) actions[i] = {SC_ACTION_RESTART, RESTART_DELAYS_MS[i]};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = FAILURE_RESET_SECONDS;
    failure.cActions = static_cast<DWORD>(std::size(actions));
    failure.lpsaActions = actions;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        errors.push_back(Error("cannot set the recovery actions", os_error(GetLastError())));

    // Also when the service stops itself with an error, not only on a crash.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
        errors.push_back(Error("cannot set recovery on non-crash failures", os_error(GetLastError())));
    return errors;
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
