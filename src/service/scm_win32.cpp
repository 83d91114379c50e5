#include "service/scm.hpp"

#include <cwchar>
#include <string>
#include <thread>

#include "base/names.hpp"
#include "base/os_error.hpp"
#include "base/sized_query.hpp"
#include "service/host_report.hpp"
#include "service/install.hpp"
#include "service/service_status.hpp"

static_assert(velmor::scm::SERVICE_CANNOT_ACCEPT_CTRL == ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
static_assert(velmor::scm::SERVICE_NOT_ACTIVE == ERROR_SERVICE_NOT_ACTIVE);

namespace velmor::scm {
namespace {

Result<unique_schandle> owned(SC_HANDLE handle, const char* call) {
    if (handle == nullptr) return fail(last_call_error(call));
    return unique_schandle(handle);
}

Result<> done(BOOL made, const char* call) {
    if (!made) return fail(last_call_error(call));
    return {};
}

}  // namespace

Result<unique_schandle> open_manager(DWORD access) {
    return owned(OpenSCManagerW(nullptr, nullptr, access), "OpenSCManagerW");
}

Result<unique_schandle> open_service(SC_HANDLE manager, DWORD access) {
    return owned(OpenServiceW(manager, SERVICE_NAME, access), "OpenServiceW");
}

Result<unique_schandle> create_service(SC_HANDLE manager, std::wstring_view command_line, DWORD access) {
    const std::wstring path(command_line);
    return owned(CreateServiceW(manager, SERVICE_NAME, SERVICE_DISPLAY_NAME, access, SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
                                nullptr,    // LocalSystem
                                nullptr),   // no password
                 "CreateServiceW");
}

Result<> start_service(SC_HANDLE service) { return done(StartServiceW(service, 0, nullptr), "StartServiceW"); }

Result<> control_service(SC_HANDLE service, DWORD control) {
    SERVICE_STATUS status{};
    return done(ControlService(service, control, &status), "ControlService");
}

Result<> delete_service(SC_HANDLE service) { return done(DeleteService(service), "DeleteService"); }

Result<SERVICE_STATUS_PROCESS> query_status(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed))
        return fail(last_call_error("QueryServiceStatusEx"));
    return status;
}

Result<ServiceConfig> query_config(SC_HANDLE service) {
    const auto answer = query_sized(
        [service](void* data, DWORD& bytes) {
            DWORD needed = 0;
            if (QueryServiceConfigW(service, static_cast<QUERY_SERVICE_CONFIGW*>(data), bytes, &needed))
                return DWORD{ERROR_SUCCESS};
            const DWORD code = GetLastError();
            bytes = needed;
            return code;
        },
        DWORD{ERROR_INSUFFICIENT_BUFFER}, DWORD{512});
    if (answer.status != ERROR_SUCCESS) return fail(call_error("QueryServiceConfigW", answer.status));
    const auto* config = static_cast<const QUERY_SERVICE_CONFIGW*>(answer.data());
    const auto text = [](const wchar_t* s) { return s ? std::wstring(s) : std::wstring(); };
    ServiceConfig out{config->dwServiceType, config->dwStartType, config->dwErrorControl,
                      text(config->lpBinaryPathName), text(config->lpServiceStartName),
                      text(config->lpDisplayName), {}};
    // A double-NUL-terminated list.
    for (const wchar_t* d = config->lpDependencies; d != nullptr && *d != L'\0'; d += wcslen(d) + 1)
        out.dependencies.append(d).push_back(L'\0');
    return out;
}

std::wstring executable_of(std::wstring_view binary_path) {
    if (!binary_path.starts_with(L'"')) return std::wstring(binary_path);
    return std::wstring(binary_path.substr(1, binary_path.find(L'"', 1) - 1));
}

Result<bool> stop_service(SC_HANDLE service, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    bool asked = false;
    for (;;) {
        const Result<SERVICE_STATUS_PROCESS> status = query_status(service);
        const StopStep step = status ? next_stop_step(status->dwCurrentState, status->dwControlsAccepted, asked)
                                     : next_stop_step(std::nullopt, 0, asked);
        if (step == StopStep::done) return true;
        if (step == StopStep::ask) {
            Result<> taken = control_service(service, SERVICE_CONTROL_STOP);
            if (taken) asked = true;
            else if (stop_refusal_is_final(taken.error().system_code().value_or(0))) return fail(std::move(taken.error()));
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

Result<std::optional<std::uint32_t>> service_process_id() {
    const Result<unique_schandle> manager = open_manager(SC_MANAGER_CONNECT);
    if (!manager) return fail(manager.error());
    const Result<unique_schandle> service = open_service(manager->get(), SERVICE_QUERY_STATUS);
    if (!service && service.error().system_code() == ERROR_SERVICE_DOES_NOT_EXIST)
        return std::optional<std::uint32_t>();
    if (!service) return fail(service.error());
    const Result<SERVICE_STATUS_PROCESS> status = query_status(service->get());
    if (!status) return fail(status.error());
    return std::optional<std::uint32_t>(status->dwProcessId);
}

Result<std::wstring> service_image_path() {
    const Result<unique_schandle> manager = open_manager(SC_MANAGER_CONNECT);
    if (!manager) return fail(manager.error());
    const Result<unique_schandle> service = open_service(manager->get(), SERVICE_QUERY_CONFIG);
    if (!service) return fail(service.error());
    const Result<ServiceConfig> config = query_config(service->get());
    if (!config) return fail(config.error());
    return executable_of(config->binary_path);
}

PipeHolder describe_pipe_holder(std::optional<std::uint32_t> process) {
    // A service that does not run, is not installed or cannot be asked
    // about is not the holder.
    std::optional<std::uint32_t> service;
    if (process) {
        const Result<std::optional<std::uint32_t>> id = service_process_id();
        if (id && *id && **id != 0) service = **id;
    }
    return pipe_holder_words(process, service);
}

}  // namespace velmor::scm
