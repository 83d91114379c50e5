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

// The event source's registration (EVENT_SOURCE_KEY), or none without an
// EventMessageFile of type REG_EXPAND_SZ.
struct EventSourceRegistration {
    std::wstring message_file;  // unexpanded
    std::optional<DWORD> types;  // TypesSupported, when a REG_DWORD
};
std::optional<EventSourceRegistration> query_event_source();

// A REG_SZ value under HKLM\SOFTWARE\Velmor\Helper, or none.
std::optional<std::wstring> query_helper_setting(const wchar_t* name);

// Stops and deletes any registration of the service, then waits until the
// SCM has let it go. Works without the program under test.
void remove_registration();

// One request over the control pipe; the reply, or empty when there was none.
std::string pipe_exchange(const std::string& request, std::chrono::milliseconds bound = GENEROUS);

// Waits until the service runs and answers ping on its pipe.
void expect_pong();

}  // namespace velmor::e2e
