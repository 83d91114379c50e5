#include "service_scm.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "service/service_runner.hpp"

namespace velmor::e2e {

unique_schandle open_manager() { return unique_schandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)); }

std::optional<SERVICE_STATUS_PROCESS> query_status() {
    const unique_schandle manager = open_manager();
    if (!manager) return std::nullopt;
    const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_STATUS));
    if (!service) return std::nullopt;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed))
        return std::nullopt;
    return status;
}

bool is_registered() {
    const unique_schandle manager = open_manager();
    const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_STATUS));
    return static_cast<bool>(service) || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
}

bool is_in_state(DWORD state) {
    const auto status = query_status();
    return status && status->dwCurrentState == state;
}

std::optional<ServiceConfig> query_config() {
    const unique_schandle manager = open_manager();
    const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_CONFIG));
    if (!service) return std::nullopt;
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<std::byte> buffer(needed + 16);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) return std::nullopt;
    auto text = [](const wchar_t* s) { return s != nullptr ? std::wstring(s) : std::wstring(); };
    ServiceConfig out{config->dwServiceType,
                      config->dwStartType,
                      config->dwErrorControl,
                      text(config->lpBinaryPathName),
                      text(config->lpServiceStartName),
                      text(config->lpDisplayName),
                      text(config->lpLoadOrderGroup),
                      text(config->lpDependencies),
                      {}};
    needed = 0;
    QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<std::byte> described(needed + 16);
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(described.data());
    if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<LPBYTE>(described.data()),
                              static_cast<DWORD>(described.size()), &needed))
        return std::nullopt;
    out.description = text(description->lpDescription);
    return out;
}

std::optional<std::wstring> query_machine_value(const wchar_t* key, const wchar_t* name, DWORD type) {
    wchar_t value[1024] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, type == RRF_RT_REG_EXPAND_SZ ? type | RRF_NOEXPAND : type, nullptr, value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD number = 0;
    std::memcpy(&number, value, sizeof number);
    return type == RRF_RT_REG_DWORD ? std::to_wstring(number) : std::wstring(value);
}

DWORD send_stop(SERVICE_STATUS* returned) {
    const unique_schandle manager = open_manager();
    const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_STOP));
    if (!service) return GetLastError();
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return GetLastError();
    if (returned != nullptr) *returned = status;
    return 0;
}

bool stop_service() {
    if (const DWORD refused = send_stop(); refused != 0) {
        ADD_FAILURE() << "Stop was refused: " << refused;
        return false;
    }
    if (wait_until([] { return is_in_state(SERVICE_STOPPED); })) return true;
    ADD_FAILURE() << "the service did not report stopped";
    return false;
}

void remove_registration() {
    {
        const unique_schandle manager = open_manager();
        const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_STOP | DELETE));
        if (!service) return;
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        DeleteService(service.get());
    }
    if (!wait_until([] { return !is_registered(); })) ADD_FAILURE() << "the registration did not go";
}

std::string pipe_exchange(const std::string& request, std::chrono::milliseconds bound) {
    ReadOutcome reply = exchange(request + "\n", bound);
    return reply.line() ? reply.bytes : std::string();
}

void expect_pong() {
    std::string reply;
    // The pipe server thread starts just after the running report.
    EXPECT_TRUE(wait_until([&] {
        reply = pipe_exchange(R"({"id":"e2e","action":"ping"})");
        return !reply.empty();
    })) << "no reply on the control pipe";
    EXPECT_NE(reply.find(R"("ok":true)"), std::string::npos) << reply;
    EXPECT_NE(reply.find(R"("pong":true)"), std::string::npos) << reply;
}

}  // namespace velmor::e2e
