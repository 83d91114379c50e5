#pragma once
// The "install" and "uninstall" commands: the service's registration with the
// Service Control Manager. Both run on the main thread, print and log nothing
// when all goes well (install reports settings it could not make),
// and report a failed SCM call as "IO error in winapi call" with the system
// error as cause.

#include <chrono>
#include <filesystem>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/names.hpp"
#include "base/win.hpp"
#include "service/recovery_settings.hpp"

namespace velmor {

// The name the SCM shows for the service.
inline constexpr wchar_t SERVICE_DISPLAY_NAME[] = L"VelmorHelper Service";

// The text the Services console shows for the service.
inline constexpr wchar_t SERVICE_DESCRIPTION[] = L"Runs the Velmor proxy core on behalf of the Velmor client.";

// The event log of the helper's own, "Velmor", under HKEY_LOCAL_MACHINE
// (EVENT_LOG_KEY in base/names.hpp): events there can be written only by
// SYSTEM and the Administrators (EVENT_LOG_DESCRIPTOR), unlike the
// Application log, where every authenticated user may write under any source
// name. EVENT_SOURCE_KEY is the event source EVENT_SOURCE in that log: where
// Event Viewer finds the texts of its events. OLD_EVENT_SOURCE_KEY is where
// earlier versions registered the source; a source name belongs to one log
// only, so it is removed.
// The log's CustomSD: SYSTEM read, write and clear (and the standard
// rights), the Administrators read, write and clear, Event Log Readers read.
inline constexpr wchar_t EVENT_LOG_DESCRIPTOR[] = L"O:BAG:SYD:(A;;0xf0007;;;SY)(A;;0x7;;;BA)(A;;0x1;;;S-1-5-32-573)";

// Writes EVENT_LOG_KEY (CustomSD EVENT_LOG_DESCRIPTOR, File
// %SystemRoot%\System32\Winevt\Logs\Velmor.evtx as REG_EXPAND_SZ, MaxSize
// 4 MiB) and EVENT_SOURCE_KEY (EventMessageFile, the executable `exe` with
// the message table, REG_EXPAND_SZ; TypesSupported, 7: error, warning,
// information), and removes OLD_EVENT_SOURCE_KEY. Error: "cannot register
// the event source", with the failed call and the system error as causes.
Result<> register_event_source(const std::filesystem::path& exe);

// Removes EVENT_LOG_KEY with the source in it, and OLD_EVENT_SOURCE_KEY;
// one that is not there is no error. Error: "cannot remove the event source".
Result<> remove_event_source();

// Checks the program folder and prepares the data folder
// (prepare_install_folders), then registers the running executable as the
// automatically started LocalSystem service velmor-helper, with its
// description and recovery actions, registers it as the event source
// (register_event_source), and starts it. When another process holds the
// pipe's name before the start, standard error (and the log, when open) says
// so: "install: warning: the velmor-helper service cannot serve until its
// pipe's name is free: it is held by {who}; {advice}" (describe_pipe_holder);
// the install still succeeds, and the service waits for the name. A refused
// folder registers nothing; a registration made before a failed start stays
// in place. Failing to set the description, the recovery actions or the
// event source does not fail the install: each such failure is reported on
// standard error and in the log next to the executable, and recovery actions
// not set also as the recovery_not_set event.
Result<> install_service(bool allow_unsafe_folder = false);

// Sets wanted_recovery: restart after each delay, the reset period, and
// recovery also when the service stops with an error without crashing.
// Returns one error per setting that could not be made, naming it.
std::vector<Error> set_recovery_actions(SC_HANDLE service);

// The recovery settings of a service handle with SERVICE_QUERY_CONFIG
// access; a part the SCM does not give is left empty.
RecoverySettings read_recovery(SC_HANDLE service);

// At service start, on the service routine's thread: makes the service's own
// recovery actions wanted_recovery when they differ (or cannot be read).
// Whatever cannot be set is one log line, "service: recovery actions not
// set: {cause}[; {cause}]", also as the recovery_not_set event; the service
// runs on either way.
void keep_recovery_actions();

// The message of a failed SCM call, with the call and the system error as
// causes.
inline constexpr std::string_view SCM_CALL_FAILED = "IO error in winapi call";

// How long uninstall waits for a stopping service to report stopped: its
// core's stop time-out and more.
inline constexpr std::chrono::seconds UNINSTALL_STOP_WAIT{30};

// Asks the service to stop and, when it accepted (or was stopping already),
// waits up to UNINSTALL_STOP_WAIT for it to report stopped, which it does
// only after its core has stopped; then marks it for deletion, and the SCM
// removes it once it has stopped. A service still running after the wait is
// reported on standard error ("uninstall: the service did not stop within
// 30 s; it is removed once it has stopped") and deleted all the same. Once
// deleted, the event source goes too (remove_event_source; a failure is
// reported on standard error and does not fail the uninstall), and so does
// the AllowUnsafeFolder allowance, whatever its type. A service that is not
// installed is the error "the velmor-helper service is not installed" over
// the failed OpenServiceW.
Result<> uninstall_service();

}  // namespace velmor
