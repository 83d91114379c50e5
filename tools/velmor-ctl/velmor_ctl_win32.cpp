// velmor-ctl: sends one request to the helper's control pipe and prints the
// reply line exactly as received.
//
//   velmor-ctl [--console] ping | status | stop | start FILE | send LINE
//   velmor-ctl --version | --help
//
// Before it writes anything it checks who serves the pipe: the process on
// the other end must be the running velmor-helper service (with --console,
// any helper: for one run in console mode). The pipe is opened for
// identification only, so a server that is not the helper cannot act as the
// user who runs this.
//
// Exit status: 0 for a reply with "ok":true, 1 for "ok":false, 2 when no
// reply came (helper absent or busy past the wait, server refused, request
// refused, usage). Every failure is one line on standard error that names
// the cause and what to do next.

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.hpp"
#include "base/names.hpp"
#include "base/os_error.hpp"
#include "base/text.hpp"
#include "base/version.hpp"
#include "base/win.hpp"

namespace velmor {
namespace {

// How long an absent pipe is waited for (a helper that is just starting),
// and how long a busy one (the helper serving other clients).
constexpr auto ABSENT_WAIT = std::chrono::seconds(2);
constexpr auto BUSY_WAIT = std::chrono::seconds(10);
constexpr int EXIT_OK = 0, EXIT_NOT_OK = 1, EXIT_NO_REPLY = 2;

constexpr const char* USAGE =
    "usage: velmor-ctl [--console] ping | status | stop | start FILE | send LINE\n"
    "  ping        asks the helper whether it answers\n"
    "  status      prints the core's state and last error\n"
    "  stop        stops the core\n"
    "  start FILE  sends the text of FILE as the core configuration\n"
    "  send LINE   sends LINE as it is, followed by a line feed\n"
    "  --console   for testing: talks to a helper run as \"velmor-helper.exe console\",\n"
    "              without checking that the velmor-helper service serves the pipe\n"
    "  --version   prints the version\n"
    "  --help      prints this text\n"
    "The reply is printed as received. Exit status: 0 for a reply with \"ok\":true,\n"
    "1 for \"ok\":false, 2 when there is no reply.\n";

void print_error(const Error& error) {
    const std::string text = "velmor-ctl: " + error.full_description() + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

std::string code_text(DWORD code) { return "(os error " + std::to_string(code) + ")"; }

// A usage error: what was wrong, and the usage's first line.
int usage_error(const std::string& what) {
    const std::string_view usage(USAGE);
    const std::string line = "velmor-ctl: " + what + "; " + std::string(usage.substr(0, usage.find('\n'))) +
                             " (--help for more)\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return EXIT_NO_REPLY;
}

std::string request_line(std::string_view action, const std::optional<std::string>& config) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("action");
    w.String(action.data(), static_cast<rapidjson::SizeType>(action.size()));
    if (config) {
        w.Key("config");
        w.String(config->data(), static_cast<rapidjson::SizeType>(config->size()));
    }
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

Result<std::string> read_text_file(const std::wstring& path) {
    const std::string nothing_sent = "; nothing was sent";
    const unique_handle file = adopt_file_handle(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return fail("cannot open " + narrow(path) + ": " + os_error_text(GetLastError()) + nothing_sent);
    std::string text;
    std::vector<char> chunk(65536);
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr))
            return fail("cannot read " + narrow(path) + ": " + os_error_text(GetLastError()) + nothing_sent);
        if (n == 0) break;
        text.append(chunk.data(), n);
    }
    if (const auto fault = find_utf8_fault(text))
        return fail(narrow(path) + " is not UTF-8 text: " + fault->describe() + "; save it as UTF-8" + nothing_sent);
    return text;
}

// Where the helper serving `pipe` writes its log: velmor-helper.log next to
// its executable.
std::string helper_log_path(HANDLE pipe) {
    ULONG server = 0;
    if (GetNamedPipeServerProcessId(pipe, &server)) {
        const unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server));
        std::wstring image(32768, L'\0');
        DWORD size = static_cast<DWORD>(image.size());
        if (process && QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) {
            image.resize(size);
            return narrow((std::filesystem::path(image).parent_path() / L"velmor-helper.log").native());
        }
    }
    return "velmor-helper.log next to velmor-helper.exe";
}

Result<std::optional<DWORD>> service_process_id();

// How to get a helper running, for one that is absent.
std::string how_to_start(bool console) {
    if (console) return "start one with `velmor-helper.exe console` (from a source tree: scripts/run)";
    const Result<std::optional<DWORD>> service = service_process_id();
    if (service && !*service)
        return "the service is not installed: install it with `velmor-helper.exe install` from an elevated prompt, "
               "or deploy the MSI";
    if (service) return "start the service with `sc start velmor-helper`";
    return "start the service with `sc start velmor-helper`, or install it with `velmor-helper.exe install`";
}

// Opens the pipe, waiting a little while it is absent (the helper starting)
// and longer while it is busy (other clients being served). Identification
// only: the server may learn who we are, never act as us.
Result<unique_handle> connect_pipe(bool console) {
    const auto started = std::chrono::steady_clock::now();
    for (;;) {
        HANDLE h = CreateFileW(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (h != INVALID_HANDLE_VALUE) return unique_handle(h);
        const DWORD code = GetLastError();
        const auto waited = std::chrono::steady_clock::now() - started;
        if (code == ERROR_FILE_NOT_FOUND) {
            if (waited >= ABSENT_WAIT)
                return fail("velmor-helper is not running: no " + std::string(PIPE_NAME_TEXT) + "; " + how_to_start(console));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } else if (code == ERROR_PIPE_BUSY) {
            if (waited >= BUSY_WAIT)
                return fail("velmor-helper is busy with other clients and stayed busy for " +
                            std::to_string(BUSY_WAIT.count()) + " s; try again " + code_text(code));
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(BUSY_WAIT - waited);
            WaitNamedPipeW(PIPE_NAME, static_cast<DWORD>(std::max<long long>(1, left.count())));
        } else if (code == ERROR_ACCESS_DENIED) {
            return fail("access to " + std::string(PIPE_NAME_TEXT) + " denied: only local users may use it " +
                        code_text(code));
        } else {
            return fail("cannot open " + std::string(PIPE_NAME_TEXT) + ": " + os_error_text(code) + "; try again");
        }
    }
}

// The process id of the velmor-helper service: 0 when it is not running,
// none when it is not installed.
Result<std::optional<DWORD>> service_process_id() {
    const unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return fail(Error(os_error_text(GetLastError())));
    const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST) return std::optional<DWORD>();
        return fail(Error(os_error_text(code)));
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed))
        return fail(Error(os_error_text(GetLastError())));
    return std::optional<DWORD>(status.dwProcessId);
}

// Checks that the process serving the pipe is the velmor-helper service
// (with `console`, only that the server can be named). A name that is free
// while the service is stopped can be taken by any local program, which
// would then receive whatever we send.
Result<> verify_server(HANDLE pipe, bool console) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server))
        return fail("cannot tell which process serves " + std::string(PIPE_NAME_TEXT) + "; nothing was sent " +
                    code_text(GetLastError()));
    if (console) return {};
    const std::string served_by = std::string(PIPE_NAME_TEXT) + " is served by process " + std::to_string(server);
    const Result<std::optional<DWORD>> service = service_process_id();
    if (!service)
        return fail("cannot query the velmor-helper service to check who serves " + std::string(PIPE_NAME_TEXT) +
                    "; nothing was sent: " + service.error().message());
    const std::string refused = "; nothing was sent (for a helper in console mode, use --console)";
    if (!*service) return fail("the velmor-helper service is not installed, yet " + served_by + refused);
    if (**service == 0) return fail("the velmor-helper service is not running, yet " + served_by + refused);
    if (**service != server)
        return fail(served_by + ", not by the velmor-helper service (process " + std::to_string(**service) +
                    "); nothing was sent");
    return {};
}

bool connection_ended(DWORD code) {
    return code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED || code == ERROR_NO_DATA;
}

// Sends the request as one message and reads the reply up to its line feed,
// or until the helper disconnects.
Result<std::string> exchange(HANDLE pipe, std::string_view request) {
    std::string_view rest = request;
    while (!rest.empty()) {
        DWORD written = 0;
        if (!WriteFile(pipe, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr)) {
            const DWORD code = GetLastError();
            if (connection_ended(code))
                return fail("velmor-helper ended the connection before the whole request was sent " + code_text(code));
            return fail("cannot send the request: " + os_error_text(code));
        }
        rest.remove_prefix(written);
    }
    std::string reply;
    std::vector<char> chunk(4096);
    while (reply.find('\n') == std::string::npos) {
        DWORD n = 0;
        const BOOL ok = ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr);
        const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
        reply.append(chunk.data(), n);
        if (!ok && code != ERROR_MORE_DATA) {
            if (!connection_ended(code)) return fail("cannot read the reply: " + os_error_text(code));
            const std::string log = "; the helper's log says why: " + helper_log_path(pipe);
            if (reply.empty())
                return fail("velmor-helper ended the connection without a reply " + code_text(code) + log);
            return fail("velmor-helper ended the connection in the middle of its reply " + code_text(code) + log);
        }
        if (ok && n == 0 && !reply.empty()) break;
    }
    return reply;
}

int run(const std::vector<std::wstring>& all) {
    std::vector<std::wstring> args(all.begin() + (all.empty() ? 0 : 1), all.end());
    const bool console = !args.empty() && args[0] == L"--console";
    if (console) args.erase(args.begin());
    if (args.size() == 1 && (args[0] == L"--help" || args[0] == L"-h" || args[0] == L"/?")) {
        std::fputs(USAGE, stdout);
        return EXIT_OK;
    }
    if (args.size() == 1 && args[0] == L"--version") {
        std::fputs((std::string(VERSION_LINE) + "\n").c_str(), stdout);
        return EXIT_OK;
    }
    if (args.empty()) return usage_error("no command given");
    const std::wstring& command = args[0];
    const bool bare = command == L"ping" || command == L"status" || command == L"stop";
    const bool with_value = command == L"start" || command == L"send";
    // Anywhere but first, and not as the value of start or send.
    for (std::size_t i = 0; i < args.size(); ++i)
        if (args[i] == L"--console" && !(with_value && i == 1)) return usage_error("--console goes before the command");
    if (!bare && !with_value) return usage_error("unknown command \"" + narrow(command) + "\"");
    if (with_value && args.size() < 2)
        return usage_error(narrow(command) + (command == L"start" ? " needs FILE" : " needs LINE"));
    if (args.size() > (bare ? 1u : 2u))
        return usage_error("unexpected argument \"" + narrow(args[bare ? 1 : 2]) + "\" after " + narrow(command));
    std::string request;
    if (bare) {
        request = request_line(narrow(command), std::nullopt);
    } else if (command == L"start") {
        Result<std::string> config = read_text_file(args[1]);
        if (!config) {
            print_error(config.error());
            return EXIT_NO_REPLY;
        }
        request = request_line("start", *config);
    } else {
        request = narrow(args[1]) + "\n";
    }

    Result<unique_handle> pipe = connect_pipe(console);
    if (!pipe) {
        print_error(pipe.error());
        return EXIT_NO_REPLY;
    }
    if (Result<> verified = verify_server(pipe->get(), console); !verified) {
        print_error(verified.error());
        return EXIT_NO_REPLY;
    }
    Result<std::string> reply = exchange(pipe->get(), request);
    if (!reply) {
        print_error(reply.error());
        return EXIT_NO_REPLY;
    }
    std::fwrite(reply->data(), 1, reply->size(), stdout);
    std::fflush(stdout);

    rapidjson::Document doc;
    doc.Parse(reply->data(), reply->find('\n') == std::string::npos ? reply->size() : reply->find('\n'));
    if (doc.HasParseError() || !doc.IsObject()) return EXIT_NO_REPLY;
    const auto ok = doc.FindMember("ok");
    if (ok == doc.MemberEnd() || !ok->value.IsBool()) return EXIT_NO_REPLY;
    return ok->value.GetBool() ? EXIT_OK : EXIT_NOT_OK;
}

}  // namespace
}  // namespace velmor

int wmain(int, wchar_t**) {
    // The reply goes out byte for byte, and messages end in a line feed, as
    // the helper's do: no CR LF translation.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return velmor::run(velmor::command_line_arguments());
}
