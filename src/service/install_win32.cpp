#include "service/install.hpp"

#include <chrono>
#include <string>
#include <thread>

#include "base/os_error.hpp"
#include "control/pipe_server_win32.hpp"
#include "base/win.hpp"
#include "env/locations_platform.hpp"
#include "env/log.hpp"
#include "service/install_folders.hpp"
#include "service/scm.hpp"
#include "service/service_command_line.hpp"
#include "service/service_runner.hpp"
// For what the commands report and remove:
#include "base/names.hpp"
#include "core/program_trust.hpp"
#include "env/event_log.hpp"
#include "env/settings.hpp"
#include "service/host_report.hpp"

namespace velmor {
namespace {

// A failed SCM call as the install commands report it.
Error scm_error(Error failed) { return std::move(failed).context(std::string(SCM_CALL_FAILED)); }

// The recovery errors as one line: "{what}[; {what}]", each with its causes.
std::string joined(const std::vector<Error>& errors) {
    std::string line;
    for (const Error& error : errors) line += (line.empty() ? "" : "; ") + error.one_line();
    return line;
}

// Before the service runs, a pipe of its name is another program's: the
// service would wait for the name, running but serving nobody. Says so,
// naming the holder. A wait that fails for another reason than a missing
// pipe is taken as a held name: a warning too many rather than none.
void warn_when_name_held() {
    if (!WaitNamedPipeW(PIPE_NAME, 1) && GetLastError() == ERROR_FILE_NOT_FOUND) return;
    const PipeHolder holder = scm::describe_pipe_holder(pipe_holder_process(PIPE_NAME));
    log_message("install: warning: the " + std::string(SERVICE_NAME_TEXT) +
                " service cannot serve until its pipe's name is free: it is held by " + holder.who + "; " +
                holder.advice);
}

constexpr const wchar_t* EVENT_LOG_FILE = L"%SystemRoot%\\System32\\Winevt\\Logs\\Velmor.evtx";

Error event_source_error(const char* what, const char* call, LSTATUS status) {
    return Error(what, call_error(call, static_cast<DWORD>(status)));
}

// Writes one value of type `type` under HKEY_LOCAL_MACHINE\`key` (made if
// missing); the failed call's error, or success.
Result<> set_machine_value(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY raw = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                     nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS) return fail(call_error("RegCreateKeyExW", static_cast<DWORD>(status)));
    const unique_hkey owned(raw);
    status = RegSetValueExW(owned.get(), name, 0, type, static_cast<const BYTE*>(data), size);
    if (status != ERROR_SUCCESS) return fail(call_error("RegSetValueExW", static_cast<DWORD>(status)));
    return {};
}

Result<> set_machine_text(const wchar_t* key, const wchar_t* name, DWORD type, const std::wstring& text) {
    return set_machine_value(key, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

Result<> set_machine_dword(const wchar_t* key, const wchar_t* name, DWORD value) {
    return set_machine_value(key, name, REG_DWORD, &value, sizeof value);
}

}  // namespace

Result<> register_event_source(const std::filesystem::path& exe) {
    constexpr const char* what = "cannot register the event source";
    // The log's descriptor first: the source never exists in a log that
    // others may write to.
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    Result<> step = set_machine_text(EVENT_LOG_KEY, L"CustomSD", REG_SZ, EVENT_LOG_DESCRIPTOR);
    if (step) step = set_machine_text(EVENT_LOG_KEY, L"File", REG_EXPAND_SZ, EVENT_LOG_FILE);
    if (step) step = set_machine_dword(EVENT_LOG_KEY, L"MaxSize", 4 * 1024 * 1024);
    if (step) step = set_machine_text(EVENT_SOURCE_KEY, L"EventMessageFile", REG_EXPAND_SZ, exe.native());
    if (step) step = set_machine_dword(EVENT_SOURCE_KEY, L"TypesSupported", types);
    if (!step) return fail(std::move(step.error()).context(what));
    const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, OLD_EVENT_SOURCE_KEY);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return fail(event_source_error(what, "RegDeleteTreeW", status));
    return {};
}

Result<> remove_event_source() {
    for (const wchar_t* key : {EVENT_LOG_KEY, OLD_EVENT_SOURCE_KEY}) {
        const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            return fail(event_source_error("cannot remove the event source", "RegDeleteTreeW", status));
    }
    return {};
}

Result<> install_service(bool allow_unsafe_folder) {
    if (Result<> folders = prepare_install_folders(allow_unsafe_folder); !folders) return folders;

    Result<unique_schandle> manager = scm::open_manager(SC_MANAGER_CREATE_SERVICE);
    if (!manager) return fail(scm_error(std::move(manager.error())));

    Result<std::filesystem::path> exe = detail::current_exe();
    if (!exe) return fail(std::move(exe.error()));
    // The SCM splits the binary path by the usual argument rules: a path with
    // a space would otherwise run the wrong program or nothing at all.
    Result<unique_schandle> created =
        scm::create_service(manager->get(), quote_argument(exe->native()), SERVICE_START | SERVICE_CHANGE_CONFIG);
    if (!created) return fail(scm_error(std::move(created.error())));
    const unique_schandle service = std::move(*created);

    // Without them the service still runs; it only stays down after a crash
    // until the next boot, so the install goes on.
    std::vector<Error> unset;
    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(SERVICE_DESCRIPTION)};
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description))
        unset.push_back(last_call_error("ChangeServiceConfig2W").context("cannot set the service description"));
    const std::vector<Error> recovery = set_recovery_actions(service.get());
    unset.insert(unset.end(), recovery.begin(), recovery.end());
    // Registered only with the service: a second install that fails leaves
    // the first one's registration alone.
    if (Result<> registered = register_event_source(*exe); !registered) unset.push_back(std::move(registered.error()));
    if (!unset.empty()) {
        init_log(exe->parent_path());
        for (const Error& error : unset) log_message("install: " + error.full_description());
    }
    // After the source is registered: the event then has its text.
    if (!recovery.empty())
        report_event(EventId::recovery_not_set, "install: recovery actions not set: " + joined(recovery));

    warn_when_name_held();
    if (Result<> started = scm::start_service(service.get()); !started)
        return fail(scm_error(std::move(started.error())));
    // The service handle goes before the manager's (reverse declaration order).
    return {};
}

std::vector<Error> set_recovery_actions(SC_HANDLE service) {
    static_assert(RECOVERY_RESTART == SC_ACTION_RESTART);
    std::vector<Error> errors;
    const RecoverySettings wanted = wanted_recovery();
    std::vector<SC_ACTION> actions;
    for (const RecoveryAction& action : *wanted.actions)
        actions.push_back({static_cast<SC_ACTION_TYPE>(action.type), action.delay_ms});
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = *wanted.reset_seconds;
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.data();
    // A restart action needs the handle's SERVICE_START access.
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        errors.push_back(last_call_error("ChangeServiceConfig2W").context("cannot set the recovery actions"));

    // Also when the service stops itself with an error, not only on a crash.
    SERVICE_FAILURE_ACTIONS_FLAG flag{*wanted.on_non_crash_failures ? TRUE : FALSE};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
        errors.push_back(last_call_error("ChangeServiceConfig2W").context("cannot set recovery on non-crash failures"));
    return errors;
}

RecoverySettings read_recovery(SC_HANDLE service) {
    RecoverySettings current;
    DWORD needed = 0;
    (void)QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<std::uint64_t> buffer((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t) + 1);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
    if (needed >= sizeof(SERVICE_FAILURE_ACTIONSW) &&
        QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, reinterpret_cast<BYTE*>(buffer.data()), size,
                             &needed)) {
        const auto* failure = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
        current.reset_seconds = failure->dwResetPeriod;
        current.actions.emplace();
        for (DWORD i = 0; failure->lpsaActions != nullptr && i < failure->cActions; ++i)
            current.actions->push_back({static_cast<std::uint32_t>(failure->lpsaActions[i].Type),
                                        failure->lpsaActions[i].Delay});
    }
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, reinterpret_cast<BYTE*>(&flag), sizeof flag,
                             &needed))
        current.on_non_crash_failures = flag.fFailureActionsOnNonCrashFailures != FALSE;
    return current;
}

void keep_recovery_actions() {
    std::vector<Error> errors;
    Result<unique_schandle> manager = scm::open_manager(SC_MANAGER_CONNECT);
    Result<unique_schandle> opened = fail("no service manager");
    if (!manager) errors.push_back(std::move(manager.error()));
    else opened = scm::open_service(manager->get(), SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (manager && !opened) errors.push_back(std::move(opened.error()));
    const unique_schandle service = opened ? std::move(*opened) : unique_schandle();
    if (service && recovery_needs_setting(read_recovery(service.get()))) errors = set_recovery_actions(service.get());
    if (errors.empty()) return;
    report(EventId::recovery_not_set, "service: recovery actions not set: " + joined(errors));
}

Result<> uninstall_service() {
    Result<unique_schandle> manager = scm::open_manager(SC_MANAGER_CONNECT);
    if (!manager) return fail(scm_error(std::move(manager.error())));
    Result<unique_schandle> opened =
        scm::open_service(manager->get(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (!opened) {
        if (opened.error().system_code() == ERROR_SERVICE_DOES_NOT_EXIST)
            return fail(std::move(opened.error())
                            .context("the " + std::string(SERVICE_NAME_TEXT) + " service is not installed"));
        return fail(scm_error(std::move(opened.error())));
    }
    const unique_schandle service = std::move(*opened);

    // The service stops its core before it reports stopped: waiting for that
    // report means no core outlives the uninstall. A service still starting
    // is asked once it accepts the stop. One that refuses the stop for good
    // is removed once it has stopped.
    const Result<bool> stopped = scm::stop_service(service.get(), UNINSTALL_STOP_WAIT);
    if (!stopped) {
        log_message("uninstall: " +
                    stopped.error().context("cannot stop the service; it is removed once it has stopped").full_description());
    } else if (!*stopped) {
        // Before init_log: standard error only.
        log_message("uninstall: the service did not stop within " + std::to_string(UNINSTALL_STOP_WAIT.count()) +
                    " s; it is removed once it has stopped");
    }

    if (Result<> deleted = scm::delete_service(service.get()); !deleted)
        return fail(scm_error(std::move(deleted.error())));
    // Events already in the log lose their text with it; nothing reports
    // under this source any more.
    if (Result<> removed = remove_event_source(); !removed)
        log_message("uninstall: " + removed.error().full_description());
    // The next install decides again, as if none had been made.
    if (Result<> removed = settings::remove_value(settings::ALLOW_UNSAFE_FOLDER); !removed)
        log_message("uninstall: " +
                    removed.error().context("cannot remove " + std::string(UNSAFE_FOLDER_ALLOWANCE)).full_description());
    return {};
}

}  // namespace velmor
