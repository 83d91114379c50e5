#pragma once
// The velmor-helper service as the Service Control Manager sees it, for the
// end-to-end tests of its registration: status, configuration, removal.

#include <optional>
#include <string>

#include "base/win.hpp"
#include "harness.hpp"

namespace velmor::e2e {

unique_schandle open_manager();

// The service's current state, or none when it is not registered.
std::optional<SERVICE_STATUS_PROCESS> query_status();

bool is_registered();
bool is_in_state(DWORD state);

// The registration, as QueryServiceConfigW and QueryServiceConfig2W give it.
struct ServiceConfig {
    DWORD type = 0;
    DWORD start_type = 0;
    DWORD error_control = 0;
    std::wstring binary_path;
    std::wstring account;
    std::wstring display_name;
    std::wstring group;
    std::wstring dependencies;
    std::wstring description;
};

std::optional<ServiceConfig> query_config();

// A value under HKEY_LOCAL_MACHINE of the type `type` (RRF_RT_REG_SZ,
// RRF_RT_REG_EXPAND_SZ, unexpanded, or RRF_RT_REG_DWORD, in decimal), or none.
std::optional<std::wstring> query_machine_value(const wchar_t* key, const wchar_t* name, DWORD type);

// Sends Stop to the service through the SCM: 0, with the status the
// control returned in `returned`, or the control's error code.
DWORD send_stop(SERVICE_STATUS* returned = nullptr);

// Sends Stop and waits until the service reports stopped; false, with a test
// failure added that says which step failed, when either does not happen.
[[nodiscard]] bool stop_service();

// Stops and deletes any registration of the service, then waits until the
// SCM has let it go. Works without the program under test.
void remove_registration();

// One request over the control pipe; the reply, or empty when there was none.
std::string pipe_exchange(const std::string& request, std::chrono::milliseconds bound = GENEROUS);

// Waits until the service runs and answers ping on its pipe.
void expect_pong();

}  // namespace velmor::e2e
