// The service host end to end under the real Service Control Manager: the
// built velmor-helper.exe is copied into a folder whose path holds a space,
// installed, driven over its pipe and through the SCM, and uninstalled.
//
// Needs administrator rights on Windows. Under Wine the run-service-tests
// script keeps the wineserver alive (wineserver -p) and ends it afterwards.

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/win.hpp"
#include "harness.hpp"
// After <windows.h>:
#include <aclapi.h>
#include <sddl.h>
#include "service_scm.hpp"
#include "service/install.hpp"
#include "service/service_runner.hpp"
#include "support/folder_links_win32.hpp"

namespace velmor::e2e {
namespace {

// What install wrote on standard error, without the lines a volume that
// keeps no permissions gives (Wine's: the owners and DACLs of the data folder
// and the program folder cannot be checked there).
std::string without_volume_note(const std::string& err) {
    std::string kept;
    for (std::size_t at = 0; at < err.size();) {
        const std::size_t end = std::min(err.find('\n', at), err.size() - 1) + 1;
        const std::string line = err.substr(at, end - at);
        if (!(under_wine() &&
              (line.find("] data folder: folder permissions cannot be enforced on this volume: ") != std::string::npos ||
               line.find("] program folder: permissions cannot be enforced on this volume: ") != std::string::npos)))
            kept += line;
        at = end;
    }
    return kept;
}

// The service's optional configuration of kind `level`, as raw bytes.
std::vector<std::byte> query_config2(DWORD level) {
    const unique_schandle manager = open_manager();
    const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_CONFIG));
    if (!service) return {};
    DWORD needed = 0;
    QueryServiceConfig2W(service.get(), level, nullptr, 0, &needed);
    std::vector<std::byte> buffer(needed + 64);
    if (!QueryServiceConfig2W(service.get(), level, reinterpret_cast<BYTE*>(buffer.data()),
                              static_cast<DWORD>(buffer.size()), &needed))
        return {};
    return buffer;
}

// What install prints on standard error: nothing, but for the notes of what
// Wine cannot do: a volume that keeps no permissions, and
// SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, which Wine refuses (124) and install
// reports and survives.
void expect_quiet_install(const std::string& err) {
    std::string rest = without_volume_note(err);
    if (under_wine()) {
        const std::size_t at =
            rest.find("] install: cannot set recovery on non-crash failures\n\nCaused by:\n    ");
        const std::size_t end = rest.find("(os error 124)\n", at);
        if (at != std::string::npos && end != std::string::npos) {
            const std::size_t start = rest.rfind('\n', at);
            rest.erase(start == std::string::npos ? 0 : start + 1, end + 15 - (start == std::string::npos ? 0 : start + 1));
        }
    }
    EXPECT_EQ(rest, "") << err;
}

class ServiceHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(open_manager()) << "the SCM cannot be opened with full access: run as administrator";
        remove_registration();
        folder_ = test_folder() / L"with space";
        scratch_ = test_folder() / L"scratch";
        std::error_code ec;
        std::filesystem::create_directories(folder_, ec);
        std::filesystem::create_directories(scratch_, ec);
        helper_ = folder_ / L"velmor-helper.exe";
        ASSERT_TRUE(CopyFileW((program_dir() / L"velmor-helper.exe").c_str(), helper_.c_str(), FALSE))
            << GetLastError();
    }

    void TearDown() override { remove_registration(); }

    ProgramOutcome helper(const std::wstring& arguments) { return run_program(helper_, arguments, scratch_); }

    std::string log_text() const { return read_file(folder_ / L"velmor-helper.log"); }

    void install_and_wait_running() {
        const ProgramOutcome installed = helper(L"install");
        ASSERT_EQ(installed.exit_code, 0u) << installed.err;
        ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_RUNNING); })) << "the service did not report running";
    }

    // Puts the fake core next to the helper, for a service installed after this.
    void place_fake_core() {
        const std::filesystem::path fake_core = program_dir() / L"fake-core" / L"clash_ffi.dll";
        ASSERT_TRUE(CopyFileW(fake_core.c_str(), (folder_ / L"clash_ffi.dll").c_str(), FALSE)) << GetLastError();
    }

    static void start_core_over_pipe() {
        const std::string started = pipe_exchange(R"({"id":"s","action":"start","config":"{\"mode\":\"run\"}"})");
        ASSERT_NE(started.find(R"("ok":true)"), std::string::npos) << started;
        const std::string status = pipe_exchange(R"({"id":"t","action":"status"})");
        EXPECT_NE(status.find(R"("status":"running")"), std::string::npos) << status;
    }

    static void expect_winapi_report(const ProgramOutcome& outcome, DWORD code) {
        EXPECT_EQ(outcome.exit_code, 1u);
        EXPECT_EQ(outcome.out, "");
        const std::string err = without_volume_note(outcome.err);
        // A service that is not there is said plainly.
        const std::string head = std::string("Error: ") +
                                 (code == ERROR_SERVICE_DOES_NOT_EXIST ? "the velmor-helper service is not installed"
                                                                       : "IO error in winapi call") +
                                 "\n\nCaused by:\n    0: ";
        EXPECT_EQ(err.substr(0, head.size()), head) << err;
        // The report, then one last line that says what to do.
        const std::map<DWORD, std::string> cause = {{ERROR_SERVICE_DOES_NOT_EXIST, "the service is not installed"},
                                                    {ERROR_SERVICE_MARKED_FOR_DELETE, "the service is still being removed"},
                                                    {ERROR_SERVICE_EXISTS, "the service is already installed"}};
        ASSERT_TRUE(cause.contains(code));
        const std::string tail = "(os error " + std::to_string(code) + ")\nTo fix: ";
        const std::size_t at = err.rfind(tail);
        ASSERT_NE(at, std::string::npos) << err;
        const std::string step = err.substr(at + tail.size());
        EXPECT_NE(step.find(cause.at(code)), std::string::npos) << err;
        EXPECT_EQ(step.find('\n'), step.size() - 1) << err;
    }

    std::filesystem::path folder_;
    std::filesystem::path scratch_;
    std::filesystem::path helper_;
};

TEST_F(ServiceHost, InstallRegistersTheQuotedPathAndStartsAServiceThatAnswersPing) {
    const ProgramOutcome installed = helper(L"install");
    EXPECT_EQ(installed.exit_code, 0u);
    EXPECT_EQ(installed.out, "");
    expect_quiet_install(installed.err);
    // Prepared for the service, so that no one else can make it first.
    const std::wstring program_data = _wgetenv(L"ProgramData") != nullptr ? _wgetenv(L"ProgramData") : L"C:\\ProgramData";
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(program_data) / L"Velmor" / L"service"));

    const auto config = query_config();
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->start_type, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(narrow(config->binary_path), narrow(L"\"" + helper_.native() + L"\""));
    EXPECT_EQ(config->account, L"LocalSystem");
    EXPECT_EQ(config->display_name, L"VelmorHelper Service");
    EXPECT_EQ(config->group, L"");
    EXPECT_EQ(config->dependencies, L"");

    ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_RUNNING); })) << "the service did not report running";
    // Running only once the pipe is served: the first attempt finds it.
    EXPECT_TRUE(PipeClient::connect(0ms).has_value()) << "running before the pipe exists";
    const auto status = query_status();
    ASSERT_TRUE(status.has_value());
    // Running only once the pipe is served; the system's going down stops
    // the core as Stop does.
    EXPECT_EQ(status->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));
    expect_pong();
    // Which version runs in which process, logged once it runs.
    const std::string started =
        "] service started: version " VELMOR_VERSION ", process " + std::to_string(status->dwProcessId) + ", data folder ";
    EXPECT_NE(log_text().find(started), std::string::npos) << log_text();
    // Where Event Viewer finds the texts of the service's events.
    EXPECT_EQ(query_machine_value(EVENT_SOURCE_KEY, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ), helper_.native());
    EXPECT_EQ(query_machine_value(EVENT_SOURCE_KEY, L"TypesSupported", RRF_RT_REG_DWORD), L"7");

    // What an administrator checks with.
    const ProgramOutcome ctl = run_program(program_dir() / L"velmor-ctl.exe", L"ping", scratch_);
    EXPECT_EQ(ctl.exit_code, 0u) << ctl.err;
    EXPECT_NE(ctl.out.find(R"("pong":true)"), std::string::npos) << ctl.out;
    // Which helper answers status: the service's process.
    const ProgramOutcome shown = run_program(program_dir() / L"velmor-ctl.exe", L"status", scratch_);
    EXPECT_TRUE(shown.out.starts_with("core stopped\nhelper process " + std::to_string(status->dwProcessId) +
                                      ", version " VELMOR_VERSION ", started 20"))
        << shown.out << shown.err;

    // A console helper started beside the service ends at once, naming it.
    const ProgramOutcome second = helper(L"console");
    EXPECT_EQ(second.exit_code, 1u);
    EXPECT_NE(second.err.find("Error: pipe name taken by the velmor-helper service (process " +
                              std::to_string(status->dwProcessId) + "): CreateNamedPipeW failed: "),
              std::string::npos)
        << second.err;
    EXPECT_NE(second.err.find("; stop the service first (sc stop velmor-helper)\n"), std::string::npos) << second.err;
    expect_pong();

    // The service keeps its log next to its executable.
    EXPECT_TRUE(std::filesystem::exists(folder_ / L"velmor-helper.log"));
}

TEST_F(ServiceHost, InstallSetsTheDescriptionAndTheRecoveryActions) {
    const ProgramOutcome installed = helper(L"install");
    ASSERT_EQ(installed.exit_code, 0u) << installed.err;
    expect_quiet_install(installed.err);

    const std::vector<std::byte> description = query_config2(SERVICE_CONFIG_DESCRIPTION);
    ASSERT_FALSE(description.empty()) << GetLastError();
    const auto* text = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(description.data())->lpDescription;
    EXPECT_EQ(narrow(text != nullptr ? text : L""), "Runs the Velmor proxy core on behalf of the Velmor client.");

    // The service checks them again when it starts: set by install, they are
    // left alone; under Wine they never stick, and the one line says why.
    ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_RUNNING); }));
    expect_pong();
    const std::string log = log_text();
    const std::size_t not_set =
        log.find("] service: recovery actions not set: cannot set recovery on non-crash failures: ");
    EXPECT_EQ(not_set != std::string::npos, under_wine()) << log;
    EXPECT_EQ(log.rfind("] service: recovery actions not set: "), not_set) << "one line";

    const std::vector<std::byte> failure = query_config2(SERVICE_CONFIG_FAILURE_ACTIONS);
    if (under_wine() &&
        (failure.empty() || reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(failure.data())->cActions == 0))
        GTEST_SKIP() << "Wine accepts the recovery actions without storing them (and cannot read them back), and "
                        "refuses SERVICE_CONFIG_FAILURE_ACTIONS_FLAG (124): only the description and install's "
                        "report of the refusal can be shown";
    ASSERT_FALSE(failure.empty()) << GetLastError();
    const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(failure.data());
    EXPECT_EQ(actions->dwResetPeriod, 86400u);
    ASSERT_EQ(actions->cActions, 3u);
    const DWORD delays[] = {5000, 10000, 60000};
    for (DWORD i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(actions->lpsaActions[i].Type, SC_ACTION_RESTART);
        EXPECT_EQ(actions->lpsaActions[i].Delay, delays[i]);
    }
    const std::vector<std::byte> flag = query_config2(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG);
    ASSERT_FALSE(flag.empty()) << GetLastError();
    EXPECT_TRUE(reinterpret_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(flag.data())->fFailureActionsOnNonCrashFailures);
}

TEST_F(ServiceHost, AnUnknownWordOrOptionIsRefusedAndTouchesNothing) {
    struct Case {
        const wchar_t* arguments;
        std::string first_line;
    };
    const Case cases[] = {
        {L"install --bogus", "unknown option \"--bogus\""},
        {L"install uninstall --verbose", "unknown command \"uninstall\""},
        {L"install --allow-unsafe-folders", "unknown option \"--allow-unsafe-folders\""},
        {L"instal", "unknown command \"instal\""},
        {L"uninstall --force", "unknown option \"--force\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.arguments));
        const ProgramOutcome refused = helper(c.arguments);
        EXPECT_EQ(refused.exit_code, 2u);
        EXPECT_EQ(refused.out, "");
        EXPECT_TRUE(refused.err.starts_with(c.first_line + "\nusage: velmor-helper.exe ")) << refused.err;
        EXPECT_FALSE(is_registered()) << "nothing registered";
        EXPECT_FALSE(std::filesystem::exists(folder_ / L"velmor-helper.log")) << "no log";
    }
}

TEST_F(ServiceHost, AProgramFolderOthersMayChangeIsRefusedUnlessAllowed) {
    ASSERT_NO_FATAL_FAILURE(place_fake_core());
    std::filesystem::path exe = helper_;
    const std::filesystem::path link = folder_.parent_path() / L"link";
    const struct Cleanup {
        std::filesystem::path link;
        ~Cleanup() {
            remove_registration();
            links::remove_folder_link(link);
        }
    } cleanup{link};
    if (under_wine()) {
        // Wine stores no DACL on folders: a link on the path is what makes
        // the program folder unsafe there.
        if (const std::optional<std::string> why_not = links::make_folder_link(link, folder_)) GTEST_SKIP() << *why_not;
        exe = link / L"velmor-helper.exe";
    } else {
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;BU)", SDDL_REVISION_1, &raw,
                                                                         nullptr));
        const unique_hlocal descriptor(raw);
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted));
        // Added to what the folder inherits: Users may now change it.
        ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(folder_.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, dacl, nullptr),
                  static_cast<DWORD>(ERROR_SUCCESS));
    }
    const auto allowance = [] {
        DWORD value = 0;
        DWORD size = sizeof value;
        return RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmor\\Helper", L"AllowUnsafeFolder", RRF_RT_REG_DWORD,
                            nullptr, &value, &size) == ERROR_SUCCESS ? std::optional<DWORD>(value) : std::nullopt;
    };
    const std::string unsafe = "program folder is not safe: " + narrow(exe.parent_path().native()) + ": ";

    const ProgramOutcome allowed = run_program(exe, L"install --allow-unsafe-folder", scratch_);
    ASSERT_EQ(allowed.exit_code, 0u) << allowed.err;
    EXPECT_EQ(allowance(), 1u);
    ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_RUNNING); }));
    EXPECT_TRUE(wait_until([&] { return log_text().find("] warning: " + unsafe) != std::string::npos; })) << log_text();
    // The allowance turns the refusal before the load into a warning.
    ASSERT_NO_FATAL_FAILURE(start_core_over_pipe());
    EXPECT_NE(log_text().find("] warning: core library is not safe: "), std::string::npos) << log_text();

    remove_registration();
    const ProgramOutcome refused = run_program(exe, L"install", scratch_);
    EXPECT_EQ(refused.exit_code, 1u);
    EXPECT_TRUE(without_volume_note(refused.err).starts_with("Error: " + unsafe)) << refused.err;
    EXPECT_NE(refused.err.find("(install with --allow-unsafe-folder to accept it)"), std::string::npos) << refused.err;
    EXPECT_FALSE(is_registered()) << "nothing registered";
    EXPECT_EQ(allowance(), std::nullopt) << "an install without it takes the allowance back";
}

TEST_F(ServiceHost, ScStopStopsTheServiceWithExitCodeZero) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    expect_pong();

    wchar_t system_folder[MAX_PATH];
    ASSERT_NE(GetSystemDirectoryW(system_folder, MAX_PATH), 0u);
    const ProgramOutcome stopped =
        run_program(std::filesystem::path(system_folder) / L"sc.exe", L"stop velmor-helper", scratch_);
    EXPECT_EQ(stopped.exit_code, 0u) << stopped.out << stopped.err;

    ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_STOPPED); })) << "the service did not report stopped";
    const auto status = query_status();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(status->dwServiceSpecificExitCode, 0u);
    // The process ends once the dispatcher returns: the pipe goes with it.
    EXPECT_TRUE(wait_until([] { return pipe_exchange(R"({"id":"x","action":"ping"})", 200ms).empty(); }));
    // Stopped, not removed: the registration stays until uninstall.
    EXPECT_TRUE(is_registered());
}

TEST_F(ServiceHost, ScStopStopsARunningCoreThroughTheController) {
    ASSERT_NO_FATAL_FAILURE(place_fake_core());
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    ASSERT_NO_FATAL_FAILURE(start_core_over_pipe());

    SERVICE_STATUS stop_status{};
    ASSERT_EQ(send_stop(&stop_status), 0u);
    // Pending already when the control returns: the SCM then refuses a
    // second Stop (1061) instead of delivering it, or under Wine killing the
    // process mid-stop, as Wine's msiexec does at an uninstall.
    EXPECT_NE(stop_status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(stop_status.dwControlsAccepted, 0u);
    const DWORD refused = send_stop();
    EXPECT_NE(refused, 0u);
    EXPECT_TRUE(refused == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || refused == ERROR_SERVICE_NOT_ACTIVE) << refused;

    ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_STOPPED); })) << "the service did not report stopped";
    const auto stopped = query_status();
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(stopped->dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    const std::string log = log_text();
    EXPECT_NE(log.find("core running\n"), std::string::npos) << log;
    EXPECT_NE(log.find("core stopped\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("service error"), std::string::npos) << log;
}

TEST_F(ServiceHost, PreshutdownStopsTheCoreAsStopDoes) {
    ASSERT_NO_FATAL_FAILURE(place_fake_core());
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    ASSERT_NO_FATAL_FAILURE(start_core_over_pipe());
    {
        const unique_schandle manager = open_manager();
        const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_STOP));
        SERVICE_STATUS status{};
        if (!ControlService(service.get(), SERVICE_CONTROL_PRESHUTDOWN, &status))
            GTEST_SKIP() << "the SCM sends pre-shutdown only as the system goes down (" << GetLastError()
                         << "); the handler's answer is covered by the ServiceLifecycle and AnswerControl unit tests";
    }
    ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_STOPPED); })) << "the service did not report stopped";
    const auto stopped = query_status();
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(stopped->dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    const std::string log = log_text();
    EXPECT_NE(log.find("core stopped\n"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("] service stopped\n")) << log;
}

TEST_F(ServiceHost, ControlToolSendsNothingToAProgramHoldingTheNameOfAStoppedService) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    ASSERT_TRUE(stop_service());
    ASSERT_TRUE(wait_until([] { return pipe_exchange(R"({"id":"x","action":"ping"})", 200ms).empty(); }));

    // This test program takes the free name and waits for a client.
    const unique_handle squatter(CreateNamedPipeW(HELPER_PIPE, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 65536, 65536, 0,
                                                  nullptr));
    ASSERT_NE(squatter.get(), INVALID_HANDLE_VALUE) << GetLastError();
    const unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED connect{};
    connect.hEvent = event.get();
    const BOOL at_once = ConnectNamedPipe(squatter.get(), &connect);
    const DWORD connect_code = at_once ? 0 : GetLastError();

    const ProgramOutcome refused = run_program(program_dir() / L"velmor-ctl.exe", L"stop", scratch_);
    EXPECT_EQ(refused.exit_code, 2u);
    EXPECT_EQ(refused.out, "");
    // The program is named, and not taken for a helper in console mode.
    EXPECT_TRUE(refused.err.starts_with("velmor-ctl: the velmor-helper service is not running, yet "
                                        "\\\\.\\pipe\\velmor-helper is served by process " +
                                        std::to_string(GetCurrentProcessId()) + " ("))
        << refused.err;
    EXPECT_TRUE(refused.err.ends_with(".exe); nothing was sent: that program is not velmor-helper.exe\n")) << refused.err;

    // It did connect, and left without writing a byte.
    if (connect_code == ERROR_IO_PENDING) {
        ASSERT_EQ(WaitForSingleObject(event.get(), 5000), WAIT_OBJECT_0) << "velmor-ctl never connected";
    }
    char byte = 0;
    DWORD n = 0;
    const BOOL got = ReadFile(squatter.get(), &byte, 1, &n, &connect);
    EXPECT_FALSE(got);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE)) << "the squatter received bytes";
}

TEST_F(ServiceHost, InstallWarnsNamingTheProcessThatHoldsThePipesName) {
    // This test program holds the name before the service exists.
    const unique_handle squatter(CreateNamedPipeW(HELPER_PIPE, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 65536, 65536, 0,
                                                  nullptr));
    ASSERT_NE(squatter.get(), INVALID_HANDLE_VALUE) << GetLastError();
    const ProgramOutcome installed = helper(L"install");
    EXPECT_EQ(installed.exit_code, 0u) << installed.err;
    EXPECT_NE(installed.err.find("] install: warning: the velmor-helper service cannot serve until its pipe's name is "
                                 "free: it is held by process " + std::to_string(GetCurrentProcessId()) +
                                 "; end that process first\n"),
              std::string::npos)
        << installed.err;
    // It waits for the name as a running service, which a stop then reaches.
    EXPECT_TRUE(wait_until([] { return is_in_state(SERVICE_RUNNING); })) << "the service did not report running";
}

TEST_F(ServiceHost, ControlsOtherThanStopChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    const unique_schandle manager = open_manager();
    const unique_schandle service(
        OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_USER_DEFINED_CONTROL | SERVICE_PAUSE_CONTINUE));
    ASSERT_TRUE(service);

    // Pause is not among the accepted controls: the SCM refuses it itself.
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status));

    const BOOL user_code_accepted = ControlService(service.get(), 200, &status);
    const DWORD user_code_error = GetLastError();
    EXPECT_TRUE(is_in_state(SERVICE_RUNNING));
    expect_pong();

    if (under_wine()) {
        GTEST_SKIP() << "Wine's ControlService returns TRUE for a user-defined code whatever the handler "
                        "answers; the handler's 120 is covered by the ServiceLifecycle unit test";
    }
    EXPECT_FALSE(user_code_accepted);
    EXPECT_EQ(user_code_error, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

TEST_F(ServiceHost, UninstallWhileRunningStopsTheServiceAndRemovesIt) {
    ASSERT_NO_FATAL_FAILURE(place_fake_core());
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    ASSERT_NO_FATAL_FAILURE(start_core_over_pipe());
    // As the package writes the allowance: a string.
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmor\\Helper", L"AllowUnsafeFolder", REG_SZ, L"1",
                              2 * sizeof(wchar_t)),
              ERROR_SUCCESS);

    const ProgramOutcome removed = helper(L"uninstall");
    EXPECT_EQ(removed.exit_code, 0u) << removed.err;
    EXPECT_EQ(removed.out, "");
    EXPECT_EQ(removed.err, "");
    EXPECT_FALSE(query_machine_value(L"SOFTWARE\\Velmor\\Helper", L"AllowUnsafeFolder", RRF_RT_REG_SZ))
        << "the allowance outlived the service";
    // Uninstall came back only once the service had stopped its core.
    EXPECT_NE(log_text().find("core stopped\n"), std::string::npos) << log_text();
    EXPECT_TRUE(log_text().ends_with("] service stopped\n")) << log_text();
    EXPECT_FALSE(query_machine_value(EVENT_SOURCE_KEY, L"TypesSupported", RRF_RT_REG_DWORD)) << "the source stayed";

    EXPECT_TRUE(wait_until([] { return !is_registered(); })) << "the registration did not go";
    EXPECT_TRUE(wait_until([] { return pipe_exchange(R"({"id":"x","action":"ping"})", 200ms).empty(); }));

    expect_winapi_report(helper(L"uninstall"), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServiceHost, UninstallAgainBeforeTheServiceHasGoneIsRefused) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    const ProgramOutcome removed = helper(L"uninstall");
    EXPECT_EQ(removed.exit_code, 0u) << removed.err;

    // Marked for deletion while it stops, or already gone. (Wine's SCM also
    // kills a service that is still running when a second Stop arrives.)
    const ProgramOutcome again = helper(L"uninstall");
    const DWORD code = again.err.find("(os error 1072)") != std::string::npos ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                                              : ERROR_SERVICE_DOES_NOT_EXIST;
    expect_winapi_report(again, code);
    EXPECT_TRUE(wait_until([] { return !is_registered(); })) << "the registration did not go";
}

TEST_F(ServiceHost, StartArgumentsAreIgnored) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    ASSERT_TRUE(stop_service());
    const unique_schandle manager = open_manager();
    const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_START));
    ASSERT_TRUE(service);

    const wchar_t* arguments[] = {L"uninstall", L"console", L"--odd \"argument\""};
    ASSERT_TRUE(StartServiceW(service.get(), 3, arguments)) << GetLastError();
    ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_RUNNING); })) << "the service did not report running";
    expect_pong();
    EXPECT_TRUE(is_registered());
}

TEST_F(ServiceHost, UninstallWithoutARegistrationFails) {
    const ProgramOutcome removed = helper(L"uninstall");
    expect_winapi_report(removed, ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_FALSE(is_registered());
}

TEST_F(ServiceHost, UninstallOfAStoppedServiceRemovesIt) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    ASSERT_TRUE(stop_service());

    const ProgramOutcome removed = helper(L"uninstall");
    EXPECT_EQ(removed.exit_code, 0u) << removed.err;
    EXPECT_EQ(removed.err, "");
    EXPECT_TRUE(wait_until([] { return !is_registered(); }));
}

TEST_F(ServiceHost, InstallTwiceFailsAndLeavesTheFirstRegistration) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    const auto before = query_config();
    ASSERT_TRUE(before.has_value());

    // A second copy elsewhere must not take over the registration.
    const std::filesystem::path other = scratch_ / L"other copy.exe";
    ASSERT_TRUE(CopyFileW(helper_.c_str(), other.c_str(), FALSE));
    expect_winapi_report(run_program(other, L"install", scratch_), ERROR_SERVICE_EXISTS);
    expect_winapi_report(helper(L"install"), ERROR_SERVICE_EXISTS);

    const auto after = query_config();
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->binary_path, before->binary_path);
    EXPECT_EQ(after->start_type, before->start_type);
    EXPECT_EQ(after->type, before->type);
    EXPECT_EQ(after->account, before->account);
    EXPECT_TRUE(is_in_state(SERVICE_RUNNING));
    expect_pong();
}

TEST_F(ServiceHost, WithoutACommandWordFromAPromptTheDispatcherFails) {
    // "INSTALL" is no command word, and no longer service mode either.
    const ProgramOutcome typo = helper(L"INSTALL");
    EXPECT_EQ(typo.exit_code, 2u);
    EXPECT_TRUE(typo.err.starts_with("unknown command \"INSTALL\"\nusage: ")) << typo.err;
    // No argument at all is service mode, which a program not started by the
    // SCM cannot enter. Windows refuses at once; Wine after about 10 s.
    const ProgramOutcome outcome = helper(L"");
    EXPECT_EQ(outcome.exit_code, 1u);
    EXPECT_EQ(outcome.out, "");
    const std::string head = "Error: failed to start service dispatcher\n\nCaused by:\n    ";
    EXPECT_EQ(outcome.err.substr(0, head.size()), head) << outcome.err;
    // The system's reason, then what to do instead.
    const std::size_t cause = outcome.err.find("(os error 1063)\nTo fix: ");
    EXPECT_NE(cause, std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find('\n', cause + 16), outcome.err.size() - 1) << outcome.err;
    EXPECT_FALSE(is_registered());
}

}  // namespace
}  // namespace velmor::e2e
