#include "service/scm.hpp"

#include <string>
#include <thread>

#include "base/names.hpp"
#include "base/os_error.hpp"
#include "service/host_report.hpp"
#include "service/install.hpp"

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

bool wait_until_stopped(SC_HANDLE service, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const Result<SERVICE_STATUS_PROCESS> status = query_status(service);
        if (!status || status->dwCurrentState == SERVICE_STOPPED) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

namespace {

// The process that runs the service; empty when it does not run or the
// manager cannot say.
std::optional<std::uint32_t> service_process() {
    const Result<unique_schandle> manager = open_manager(SC_MANAGER_CONNECT);
    if (!manager) return std::nullopt;
    const Result<unique_schandle> service = open_service(manager->get(), SERVICE_QUERY_STATUS);
    if (!service) return std::nullopt;
    const Result<SERVICE_STATUS_PROCESS> status = query_status(service->get());
    // Process 0: the service does not run.
    if (!status || status->dwProcessId == 0) return std::nullopt;
    return status->dwProcessId;
}

}  // namespace

PipeHolder describe_pipe_holder(std::optional<std::uint32_t> process) {
    return pipe_holder_words(process, process ? service_process() : std::nullopt);
}

}  // namespace velmor::scm
