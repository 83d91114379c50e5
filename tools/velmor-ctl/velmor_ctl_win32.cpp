// velmor-ctl: sends one request to the helper's control pipe and prints the
// reply line exactly as received (status: one readable line, or the reply
// with --json); prints the helper's log with readable times; checks the
// program folder as install does.
//
//   velmor-ctl [--console] ping | status [--json] | stop | start FILE | send LINE
//   velmor-ctl [--console] log [FILE] [--local] [--follow] [--since TIME]
//   velmor-ctl check-folder
//   velmor-ctl --version | --help
//
// Runs on its main thread alone; `log --follow` polls the file until the
// process is ended.
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
#include "core/program_trust.hpp"
#include "env/data_folder.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"
#include "trust/entry.hpp"
#include "trust/file_trust.hpp"
#include "velmor-ctl/log_time.hpp"
#include "velmor-ctl/status_line.hpp"

namespace velmor {
namespace {

// How long an absent pipe is waited for (a helper that is just starting),
// and how long a busy one (the helper serving other clients).
constexpr auto ABSENT_WAIT = std::chrono::seconds(2);
constexpr auto BUSY_WAIT = std::chrono::seconds(10);
constexpr int EXIT_OK = 0, EXIT_NOT_OK = 1, EXIT_NO_REPLY = 2;

constexpr const char* USAGE =
    "usage: velmor-ctl [--console] ping | status [--json] | stop | start FILE | send LINE | log [FILE] [OPTIONS]\n"
    "  ping        asks the helper whether it answers\n"
    "  status      prints the core's state and last error: \"core running\",\n"
    "              \"core failed: {error}\"; with --json, the reply as received\n"
    "  stop        stops the core\n"
    "  start FILE  sends the text of FILE (UTF-8, with or without a byte-order\n"
    "              mark) as the core configuration\n"
    "  send LINE   sends LINE as it is, followed by a line feed\n"
    "  log [FILE]  prints the helper's log (the service's, or FILE) with its times\n"
    "              in ISO 8601 UTC; velmor-helper.log.1 first when there is one\n"
    "      --local         local times instead of UTC\n"
    "      --since TIME    only lines from TIME on: 2026-12-08, 2026-12-08T09:30,\n"
    "                      2026-12-08T09:30:00Z, ...+01:00; UTC (local with\n"
    "                      --local) when TIME has no zone\n"
    "      --follow        goes on printing lines as they are written\n"
    "  check-folder  checks this program's folder as install does (who may change\n"
    "              it, the folders above it and the files the service uses)\n"
    "  --console   for testing: talks to a helper run as \"velmor-helper.exe console\",\n"
    "              without checking that the velmor-helper service serves the pipe;\n"
    "              with log: the log next to velmor-ctl.exe\n"
    "  --version   prints the version\n"
    "  --help      prints this text\n"
    "The reply is printed as received. Exit status: 0 for a reply with \"ok\":true,\n"
    "1 for \"ok\":false (check-folder: an unsafe folder), 2 when there is no reply\n"
    "(log: no log to read).\n";

void print_error(const Error& error) {
    // One line, causes after ": ", as every failure of velmor-ctl is.
    const std::string text = "velmor-ctl: " + error.one_line() + "\n";
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
    // Notepad and other editors start UTF-8 files with a byte-order mark,
    // which is not part of the JSON text.
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
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

// --- log ---------------------------------------------------------------

constexpr std::int64_t INTERVALS_PER_SECOND = 10'000'000;
constexpr std::int64_t INTERVALS_PER_MINUTE = 60 * INTERVALS_PER_SECOND;

FILETIME file_time(std::int64_t intervals) {
    const auto bits = static_cast<std::uint64_t>(intervals);
    return {static_cast<DWORD>(bits), static_cast<DWORD>(bits >> 32)};
}

std::int64_t intervals_of(const FILETIME& ft) {
    return static_cast<std::int64_t>((std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime);
}

// Minutes east of UTC of this machine's time zone at `intervals` (with the
// daylight saving rule of that date); 0 when the system cannot say.
int local_offset_minutes(std::int64_t intervals) {
    // Whole seconds: SYSTEMTIME keeps only milliseconds, and what it drops
    // would make the offset a minute short.
    const std::int64_t whole = intervals - intervals % INTERVALS_PER_SECOND;
    const FILETIME utc = file_time(whole);
    SYSTEMTIME utc_parts{}, local_parts{};
    FILETIME local{};
    if (!FileTimeToSystemTime(&utc, &utc_parts) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc_parts, &local_parts) ||
        !SystemTimeToFileTime(&local_parts, &local))
        return 0;
    return static_cast<int>((intervals_of(local) - whole) / INTERVALS_PER_MINUTE);
}

// A wall time of this machine's time zone as UTC; none when it cannot be
// converted.
std::optional<std::int64_t> local_to_utc(std::int64_t wall) {
    const std::int64_t fraction = wall % INTERVALS_PER_SECOND;  // kept apart, as above
    const FILETIME local = file_time(wall - fraction);
    SYSTEMTIME local_parts{}, utc_parts{};
    FILETIME utc{};
    if (!FileTimeToSystemTime(&local, &local_parts) || !TzSpecificLocalTimeToSystemTime(nullptr, &local_parts, &utc_parts) ||
        !SystemTimeToFileTime(&utc_parts, &utc))
        return std::nullopt;
    return intervals_of(utc) + fraction;
}

// The folder of the running velmor-helper service's executable, from its
// registration: quoted by install, bare from some installers.
Result<std::filesystem::path> service_log_path() {
    const unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return fail(last_call_error("OpenSCManagerW"));
    const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_CONFIG));
    if (!service) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST)
            return fail("the velmor-helper service is not installed: name the log file (velmor-ctl log FILE), or use "
                        "--console for a helper in console mode");
        return fail(call_error("OpenServiceW", code));
    }
    DWORD needed = 0;
    (void)QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);
    if (!QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                             static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)), &needed))
        return fail(last_call_error("QueryServiceConfigW"));
    std::wstring binary = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data())->lpBinaryPathName;
    if (binary.starts_with(L'"')) binary = binary.substr(1, binary.find(L'"', 1) - 1);
    return std::filesystem::path(binary).parent_path() / L"velmor-helper.log";
}

struct LogOptions {
    std::optional<std::wstring> file;
    bool local = false;
    bool follow = false;
    std::optional<std::int64_t> since;
};

// An open log file, read from where the last read stopped.
struct LogReader {
    unique_handle file;
    std::string partial;  // the start of a line whose line feed has not come yet
};

// Opened for reading with every sharing: the helper goes on appending to it
// and may rename it at its size cap while we hold it.
Result<unique_handle> open_log(const std::filesystem::path& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) return unique_handle(h);
    const DWORD code = GetLastError();
    std::string hint;
    if (code == ERROR_ACCESS_DENIED) hint = "; only SYSTEM, the Administrators and the helper's user may read it: "
                                            "run velmor-ctl from an elevated prompt";
    return fail(Error("cannot open " + narrow(path.native()) + hint, call_error("CreateFileW", code)));
}

// Prints `line` as the filter shows it. False when standard output is gone.
bool print_line(ctl::LogLineFilter& filter, std::string_view line) {
    const std::optional<std::string> shown = filter.next(line);
    if (!shown) return true;
    return std::fwrite(shown->data(), 1, shown->size(), stdout) == shown->size() && std::fputc('\n', stdout) != EOF;
}

// Prints every whole line appended since the last call; with `to_end`, also
// a last line without its line feed. False when standard output is gone or
// the file cannot be read.
bool print_new_lines(LogReader& reader, ctl::LogLineFilter& filter, bool to_end) {
    std::vector<char> chunk(65536);
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(reader.file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr)) return false;
        if (n == 0) break;
        reader.partial.append(chunk.data(), n);
        std::size_t start = 0;
        for (std::size_t end; (end = reader.partial.find('\n', start)) != std::string::npos; start = end + 1)
            if (!print_line(filter, std::string_view(reader.partial).substr(start, end - start))) return false;
        reader.partial.erase(0, start);
    }
    if (to_end && !reader.partial.empty()) {
        if (!print_line(filter, reader.partial)) return false;
        reader.partial.clear();
    }
    return std::fflush(stdout) == 0;
}

// Whether `path` now names another file than `open`: the helper rotated it.
bool replaced(const std::filesystem::path& path, HANDLE open) {
    const unique_handle named = adopt_file_handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                              nullptr, OPEN_EXISTING, 0, nullptr));
    if (!named) return false;  // not made again yet: keep reading the old one
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    if (!GetFileInformationByHandle(named.get(), &a) || !GetFileInformationByHandle(open, &b)) return false;
    return a.dwVolumeSerialNumber != b.dwVolumeSerialNumber || a.nFileIndexHigh != b.nFileIndexHigh ||
           a.nFileIndexLow != b.nFileIndexLow;
}

int print_log(const std::filesystem::path& path, const LogOptions& options) {
    ctl::LogLineFilter filter(options.local ? ctl::LogLineFilter::LocalOffset(local_offset_minutes) : nullptr,
                              options.since);
    // The older file first, read whole and closed at once: a handle kept on
    // it would make the helper's next rotation fail.
    std::filesystem::path older = path;
    older += L".1";
    if (Result<unique_handle> opened = open_log(older)) {
        LogReader reader{std::move(*opened), {}};
        if (!print_new_lines(reader, filter, true)) return EXIT_NO_REPLY;
    } else if (opened.error().system_code() != ERROR_FILE_NOT_FOUND) {
        print_error(opened.error());
        return EXIT_NO_REPLY;
    }
    Result<unique_handle> opened = open_log(path);
    if (!opened) {
        print_error(opened.error());
        return EXIT_NO_REPLY;
    }
    LogReader reader{std::move(*opened), {}};
    if (!print_new_lines(reader, filter, !options.follow)) return EXIT_NO_REPLY;
    while (options.follow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        // Checked before the read, so that nothing written to the old file
        // before its rename is missed.
        const bool rotated = replaced(path, reader.file.get());
        if (!print_new_lines(reader, filter, rotated)) return EXIT_NO_REPLY;
        if (!rotated) continue;
        if (Result<unique_handle> fresh = open_log(path)) reader = LogReader{std::move(*fresh), {}};
    }
    return EXIT_OK;
}

int run_log(bool console, const std::vector<std::wstring>& args) {
    LogOptions options;
    std::optional<ctl::IsoTime> since_time;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg == L"--local") {
            options.local = true;
        } else if (arg == L"--follow" || arg == L"-f") {
            options.follow = true;
        } else if (arg == L"--since") {
            if (i + 1 == args.size()) return usage_error("--since needs a time, such as 2026-12-08T09:30Z");
            const std::optional<ctl::IsoTime> since = ctl::parse_iso_time(narrow(args[++i]));
            if (!since)
                return usage_error("--since needs a time such as 2026-12-08, 2026-12-08T09:30 or 2026-12-08T09:30Z, "
                                   "not \"" + narrow(args[i]) + "\"");
            since_time = since;
        } else if (arg.starts_with(L"-") && arg.size() > 1) {
            return usage_error("unknown option \"" + narrow(arg) + "\" for log");
        } else if (options.file) {
            return usage_error("unexpected argument \"" + narrow(arg) + "\" after log " + narrow(*options.file));
        } else {
            options.file = arg;
        }
    }
    if (options.file && console) return usage_error("log takes FILE or --console, not both");
    if (since_time) {
        // A time without a zone is read as the output shows times.
        options.since = since_time->zoned || !options.local ? std::optional(since_time->intervals)
                                                            : local_to_utc(since_time->intervals);
        if (!options.since) return usage_error("--since: this machine's time zone cannot convert the time given");
    }
    std::filesystem::path path;
    if (options.file) {
        path = *options.file;
    } else if (console) {
        Result<std::filesystem::path> folder = exe_dir();
        if (!folder) {
            print_error(folder.error());
            return EXIT_NO_REPLY;
        }
        path = *folder / L"velmor-helper.log";
    } else {
        Result<std::filesystem::path> service = service_log_path();
        if (!service) {
            print_error(service.error());
            return EXIT_NO_REPLY;
        }
        path = std::move(*service);
    }
    return print_log(path, options);
}

// --- check-folder ------------------------------------------------------

// The check that install makes of the program folder, for this program's
// folder: the folder, the folders above it, and the files the service runs,
// loads and copies from it, velmor-helper.exe among them.
int check_folder() {
    Result<std::filesystem::path> folder = exe_dir();
    if (!folder) {
        print_error(folder.error());
        return EXIT_NO_REPLY;
    }
    std::optional<trust::Unsafe> unsafe = find_unsafe_program_files(*folder);
    if (!unsafe) {
        const bool kept = trust::permissions_kept(*folder);
        unsafe = trust::find_unsafe(*folder, {*folder / L"velmor-helper.exe"}, trust::read_entry, kept);
    }
    if (unsafe) {
        print_error(trust::unsafe_error("program folder", *unsafe));
        return EXIT_NOT_OK;
    }
    const std::string line = "program folder is safe: " + narrow(folder->native()) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    return EXIT_OK;
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
    if (command == L"log") return run_log(console, args);
    if (command == L"check-folder") {
        if (console) return usage_error("check-folder takes no --console");
        if (args.size() > 1) return usage_error("unexpected argument \"" + narrow(args[1]) + "\" after check-folder");
        return check_folder();
    }
    // Scripts read the reply; people read one line.
    bool json = false;
    if (command == L"status" && args.size() == 2 && args[1] == L"--json") {
        json = true;
        args.pop_back();
    }
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
    rapidjson::Document doc;
    doc.Parse(reply->data(), reply->find('\n') == std::string::npos ? reply->size() : reply->find('\n'));
    const bool parsed = !doc.HasParseError() && doc.IsObject();
    std::optional<std::string> readable;
    if (parsed && command == L"status" && !json) readable = ctl::status_line(*reply);
    if (readable) {
        *readable += "\n";
        std::fwrite(readable->data(), 1, readable->size(), stdout);
    } else {
        std::fwrite(reply->data(), 1, reply->size(), stdout);
    }
    std::fflush(stdout);
    if (!parsed) return EXIT_NO_REPLY;
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
