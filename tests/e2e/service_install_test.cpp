// The service host end to end under the real Service Control Manager: the
// built velmor-helper.exe is copied into a folder whose path holds a space,
// installed, driven over its pipe and through the SCM, and uninstalled.
//
// Needs administrator rights on Windows. Under Wine the run-service-tests
// script keeps the wineserver alive (wineserver -p) and ends it afterwards.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/win.hpp"
#include "service/install.hpp"
#include "service/service_command_line.hpp"
#include "service/service_runner.hpp"

namespace velmor {
namespace {

using namespace std::chrono_literals;

constexpr auto GENEROUS = 30s;

bool under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds bound = GENEROUS) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(100ms);
    }
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string without_carriage_returns(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(text[i]);
    }
    return out;
}

struct Outcome {
    DWORD exit_code = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

// Runs `exe` with `arguments`, its standard output and error going to files.
Outcome run_program(const std::filesystem::path& exe, const std::wstring& arguments,
                    const std::filesystem::path& scratch) {
    Outcome outcome;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const std::filesystem::path out_path = scratch / L"stdout.txt";
    const std::filesystem::path err_path = scratch / L"stderr.txt";
    {
        unique_handle out = adopt_file_handle(CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        unique_handle err = adopt_file_handle(CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out || !err) {
            ADD_FAILURE() << "cannot create the output files in " << scratch.string();
            return outcome;
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = out.get();
        startup.hStdError = err.get();
        std::wstring line = quote_argument(exe.native());
        if (!arguments.empty()) line += L" " + arguments;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &process)) {
            ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
            return outcome;
        }
        const unique_handle process_handle(process.hProcess);
        const unique_handle thread_handle(process.hThread);
        if (WaitForSingleObject(process.hProcess, 120'000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 10'000);
            ADD_FAILURE() << "the program did not end within two minutes";
        }
        GetExitCodeProcess(process.hProcess, &outcome.exit_code);
    }
    // Text-mode standard streams write CR LF for each line feed.
    outcome.out = without_carriage_returns(read_file(out_path));
    outcome.err = without_carriage_returns(read_file(err_path));
    return outcome;
}

unique_schandle open_manager() { return unique_schandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)); }

// The service's current state, or none when it is not registered.
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

struct ServiceConfig {
    DWORD type = 0;
    DWORD start_type = 0;
    DWORD error_control = 0;
    std::wstring binary_path;
    std::wstring account;
    std::wstring display_name;
    std::wstring group;
    std::wstring dependencies;
};

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
    return ServiceConfig{config->dwServiceType,
                         config->dwStartType,
                         config->dwErrorControl,
                         text(config->lpBinaryPathName),
                         text(config->lpServiceStartName),
                         text(config->lpDisplayName),
                         text(config->lpLoadOrderGroup),
                         text(config->lpDependencies)};
}

// Stops and deletes any registration of the service, then waits until the
// SCM has let it go. Works without the program under test.
void remove_registration() {
    {
        const unique_schandle manager = open_manager();
        const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_STOP | DELETE));
        if (!service) return;
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        DeleteService(service.get());
    }
    if (!wait_for([] { return !is_registered(); })) ADD_FAILURE() << "the registration did not go";
}

// One request line over the control pipe; the reply line, or empty.
std::string pipe_exchange(const std::string& request) {
    const unique_handle pipe = adopt_file_handle(CreateFileW(L"\\\\.\\pipe\\velmor-helper", GENERIC_READ | GENERIC_WRITE,
                                                             0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) return {};
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    const std::string line = request + "\n";
    DWORD written = 0;
    if (!WriteFile(pipe.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) return {};
    std::string reply;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        const BOOL ok = ReadFile(pipe.get(), buffer, sizeof(buffer), &got, nullptr);
        reply.append(buffer, got);
        if (ok || GetLastError() != ERROR_MORE_DATA) break;
    }
    return reply;
}

// The path of the built helper, given on the command line by the test script.
std::filesystem::path g_helper_source;

class ServiceHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(g_helper_source.empty()) << "pass --helper=<path of velmor-helper.exe>";
        ASSERT_TRUE(open_manager()) << "the SCM cannot be opened with full access: run as administrator";
        remove_registration();
        wchar_t temp[MAX_PATH + 1];
        ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
        folder_ = std::filesystem::path(temp) /
                  (L"velmor service e2e " + std::to_wstring(GetCurrentProcessId()) + L" " +
                   std::to_wstring(++counter_));
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
        ASSERT_TRUE(std::filesystem::create_directories(folder_, ec)) << ec.message();
        scratch_ = folder_ / L"scratch";
        std::filesystem::create_directories(scratch_, ec);
        helper_ = folder_ / L"velmor-helper.exe";
        ASSERT_TRUE(CopyFileW(g_helper_source.c_str(), helper_.c_str(), FALSE)) << GetLastError();
    }

    void TearDown() override {
        remove_registration();
        // The service process may hold its executable and log open a little longer.
        std::error_code ec;
        wait_for([&] { return std::filesystem::remove_all(folder_, ec), !std::filesystem::exists(folder_); }, 10s);
    }

    Outcome helper(const std::wstring& arguments) { return run_program(helper_, arguments, scratch_); }

    std::string log_text() const { return read_file(folder_ / L"velmor-helper.log"); }

    void install_and_wait_running() {
        const Outcome installed = helper(L"install");
        ASSERT_EQ(installed.exit_code, 0u) << installed.err;
        ASSERT_TRUE(wait_for([] { return is_in_state(SERVICE_RUNNING); })) << "the service did not report running";
    }

    static void expect_pong() {
        std::string reply;
        // The pipe server thread starts just after the running report.
        EXPECT_TRUE(wait_for([&] {
            reply = pipe_exchange(R"({"id":"e2e","action":"ping"})");
            return !reply.empty();
        })) << "no reply on the control pipe";
        EXPECT_NE(reply.find(R"("ok":true)"), std::string::npos) << reply;
        EXPECT_NE(reply.find(R"("pong":true)"), std::string::npos) << reply;
    }

    static void expect_winapi_report(const Outcome& outcome, DWORD code) {
        EXPECT_EQ(outcome.exit_code, 1u);
        EXPECT_EQ(outcome.out, "");
        const std::string head = "Error: IO error in winapi call\n\nCaused by:\n    ";
        EXPECT_EQ(outcome.err.substr(0, head.size()), head) << outcome.err;
        const std::string tail = "(os error " + std::to_string(code) + ")\n";
        EXPECT_TRUE(outcome.err.ends_with(tail)) << outcome.err;
    }

    std::filesystem::path folder_;
    std::filesystem::path scratch_;
    std::filesystem::path helper_;
    static inline int counter_ = 0;
};

TEST_F(ServiceHost, InstallRegistersTheQuotedPathAndStartsAServiceThatAnswersPing) {
    const Outcome installed = helper(L"install");
    EXPECT_EQ(installed.exit_code, 0u);
    EXPECT_EQ(installed.out, "");
    EXPECT_EQ(installed.err, "");

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

    ASSERT_TRUE(wait_for([] { return is_in_state(SERVICE_RUNNING); })) << "the service did not report running";
    const auto status = query_status();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    expect_pong();

    // The service keeps its log next to its executable.
    EXPECT_TRUE(std::filesystem::exists(folder_ / L"velmor-helper.log"));
}

TEST_F(ServiceHost, FurtherArgumentsAfterTheCommandWordAreIgnored) {
    const Outcome installed = helper(L"install uninstall --verbose");
    EXPECT_EQ(installed.exit_code, 0u) << installed.err;
    EXPECT_EQ(installed.err, "");
    ASSERT_TRUE(wait_for([] { return is_in_state(SERVICE_RUNNING); }));
    const auto config = query_config();
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(narrow(config->binary_path), narrow(L"\"" + helper_.native() + L"\""));
}

TEST_F(ServiceHost, ScStopStopsTheServiceWithExitCodeZero) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    expect_pong();

    wchar_t system_folder[MAX_PATH];
    ASSERT_NE(GetSystemDirectoryW(system_folder, MAX_PATH), 0u);
    const Outcome stopped =
        run_program(std::filesystem::path(system_folder) / L"sc.exe", L"stop velmor-helper", scratch_);
    EXPECT_EQ(stopped.exit_code, 0u) << stopped.out << stopped.err;

    ASSERT_TRUE(wait_for([] { return is_in_state(SERVICE_STOPPED); })) << "the service did not report stopped";
    const auto status = query_status();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(status->dwServiceSpecificExitCode, 0u);
    // The process ends once the dispatcher returns: the pipe goes with it.
    EXPECT_TRUE(wait_for([] { return pipe_exchange(R"({"id":"x","action":"ping"})").empty(); }));
    // Stopped, not removed: the registration stays until uninstall.
    EXPECT_TRUE(is_registered());
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
                        "answers; the handler's 120 is covered by the HandleControl unit test";
    }
    EXPECT_FALSE(user_code_accepted);
    EXPECT_EQ(user_code_error, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

TEST_F(ServiceHost, UninstallWhileRunningStopsTheServiceAndRemovesIt) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    expect_pong();

    const Outcome removed = helper(L"uninstall");
    EXPECT_EQ(removed.exit_code, 0u) << removed.err;
    EXPECT_EQ(removed.out, "");
    EXPECT_EQ(removed.err, "");

    // Either still on its way out (marked for deletion) or already gone.
    const Outcome again = helper(L"uninstall");
    const DWORD code = again.err.find("(os error 1072)") != std::string::npos ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                                              : ERROR_SERVICE_DOES_NOT_EXIST;
    expect_winapi_report(again, code);

    EXPECT_TRUE(wait_for([] { return !is_registered(); })) << "the registration did not go";
    EXPECT_TRUE(wait_for([] { return pipe_exchange(R"({"id":"x","action":"ping"})").empty(); }));

    expect_winapi_report(helper(L"uninstall"), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServiceHost, UninstallWithoutARegistrationFails) {
    const Outcome removed = helper(L"uninstall");
    expect_winapi_report(removed, ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_FALSE(is_registered());
}

TEST_F(ServiceHost, UninstallOfAStoppedServiceRemovesIt) {
    ASSERT_NO_FATAL_FAILURE(install_and_wait_running());
    {
        const unique_schandle manager = open_manager();
        const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_STOP));
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    }
    ASSERT_TRUE(wait_for([] { return is_in_state(SERVICE_STOPPED); }));

    const Outcome removed = helper(L"uninstall");
    EXPECT_EQ(removed.exit_code, 0u) << removed.err;
    EXPECT_EQ(removed.err, "");
    EXPECT_TRUE(wait_for([] { return !is_registered(); }));
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
    // "INSTALL" is no command word: service mode, which a program not started
    // by the SCM cannot enter. Windows refuses at once; Wine after about 10 s.
    const Outcome outcome = helper(L"INSTALL");
    EXPECT_EQ(outcome.exit_code, 1u);
    EXPECT_EQ(outcome.out, "");
    const std::string head = "Error: failed to start service dispatcher\n\nCaused by:\n    ";
    EXPECT_EQ(outcome.err.substr(0, head.size()), head) << outcome.err;
    EXPECT_TRUE(outcome.err.ends_with("(os error 1063)\n")) << outcome.err;
    EXPECT_FALSE(is_registered());
}

}  // namespace
}  // namespace velmor

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const std::string option = "--helper=";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with(option)) velmor::g_helper_source = std::filesystem::path(arg.substr(option.size()));
    }
    return RUN_ALL_TESTS();
}
