#pragma once
// The Service Control Manager's calls for the helper's service: each makes
// one call and reports a failure as the failed call's error (its system code
// kept for Error::system_code); handles come in their owners. Windows only.
// Any thread; each call may block on the service manager.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "base/win.hpp"
#include "control/pipe_server.hpp"

namespace velmor::scm {

// The local computer's active services database.
Result<unique_schandle> open_manager(DWORD access);

// The velmor-helper service.
Result<unique_schandle> open_service(SC_HANDLE manager, DWORD access);

// Registers velmor-helper as an automatically started LocalSystem service of
// its own process, run as `command_line` (quoted as the SCM splits it).
Result<unique_schandle> create_service(SC_HANDLE manager, std::wstring_view command_line, DWORD access);

Result<> start_service(SC_HANDLE service);
Result<> control_service(SC_HANDLE service, DWORD control);
Result<> delete_service(SC_HANDLE service);
Result<SERVICE_STATUS_PROCESS> query_status(SC_HANDLE service);

// The registration as QueryServiceConfigW gives it (a handle with
// SERVICE_QUERY_CONFIG); the strings as stored, the binary path quoted or
// not as its installer wrote it.
struct ServiceConfig {
    DWORD type = 0;
    DWORD start_type = 0;
    DWORD error_control = 0;
    std::wstring binary_path;
    std::wstring account;
    std::wstring display_name;
    std::wstring dependencies;  // each ended by a NUL, as the SCM lists them
};
Result<ServiceConfig> query_config(SC_HANDLE service);

// The executable of a binary path: the quoted part, or all of it unquoted.
std::wstring executable_of(std::wstring_view binary_path);

// The service's process id: 0 when it is not running, none when it is not
// installed.
Result<std::optional<std::uint32_t>> service_process_id();

// The service's executable, from its registration (quoted by install, bare
// from some installers). Fails with the system code of OpenServiceW (1060)
// when it is not installed.
Result<std::wstring> service_image_path();

// Stops the service from whatever state it is in: asks for the stop as soon
// as the service accepts one (next_stop_step) and waits until it reports
// SERVICE_STOPPED or can no longer be queried; looks every 100 ms. True when
// stopped, false when `bound` passed first; the error of a stop refused for
// good (stop_refusal_is_final).
Result<bool> stop_service(SC_HANDLE service, std::chrono::seconds bound);

// The holder of the pipe's name, from its process id (empty when unknown), in
// words (pipe_holder_words): the service manager is asked which process runs
// the service; one it cannot answer for counts as not the service.
PipeHolder describe_pipe_holder(std::optional<std::uint32_t> process);

}  // namespace velmor::scm
