// velmor-ctl's connection to the control pipe: opening it within its waits,
// who serves it (process, image, version resource, creation time), one
// request and its reply.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "base/names.hpp"
#include "control/pipe_request.hpp"
#include "core/core_state.hpp"
#include "base/os_error.hpp"
#include "env/log.hpp"
#include "service/scm.hpp"
#include "velmor-ctl/log_time.hpp"
#include "velmor-ctl/pipe_client.hpp"

namespace velmor::ctl {
namespace {

// How long an absent pipe is waited for (a helper that is just starting),
// and how long a busy one (the helper serving other clients).
constexpr auto ABSENT_WAIT = std::chrono::seconds(2);
constexpr auto BUSY_WAIT = std::chrono::seconds(10);
// How long a connection dropped at once is tried again.
constexpr auto DROPPED_RETRY_WAIT = std::chrono::seconds(10);

std::string code_text(DWORD code) { return "(os error " + std::to_string(code) + ")"; }

// How to get a helper running, for one that is absent.
std::string how_to_start(bool console) {
    if (console) return "start one with `velmor-helper.exe console` (from a source tree: scripts/run)";
    const Result<std::optional<std::uint32_t>> service = service_process_id();
    if (service && !*service)
        return "the service is not installed: install it with `velmor-helper.exe install` from an elevated prompt, "
               "or deploy the MSI";
    if (service) return "start the service with `sc start velmor-helper`";
    return "start the service with `sc start velmor-helper`, or install it with `velmor-helper.exe install`";
}

bool connection_ended(DWORD code) {
    return code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED || code == ERROR_NO_DATA;
}

}  // namespace

std::optional<std::string> image_version(const std::wstring& image) {
    const unique_hmodule module(
        LoadLibraryExW(image.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module) return std::nullopt;
    HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
    HGLOBAL loaded = found ? LoadResource(module.get(), found) : nullptr;
    const auto* bytes = static_cast<const unsigned char*>(loaded ? LockResource(loaded) : nullptr);
    // VS_VERSIONINFO: three WORDs, L"VS_VERSION_INFO" with its null, padding
    // to a DWORD boundary, then VS_FIXEDFILEINFO.
    constexpr std::size_t FIXED_AT = 40;
    VS_FIXEDFILEINFO fixed{};
    if (!bytes || SizeofResource(module.get(), found) < FIXED_AT + sizeof fixed ||
        std::memcmp(bytes + 6, L"VS_VERSION_INFO", 32) != 0)
        return std::nullopt;
    std::memcpy(&fixed, bytes + FIXED_AT, sizeof fixed);
    if (fixed.dwSignature != 0xFEEF04BD) return std::nullopt;
    std::string version = std::to_string(HIWORD(fixed.dwFileVersionMS)) + "." +
                          std::to_string(LOWORD(fixed.dwFileVersionMS)) + "." +
                          std::to_string(HIWORD(fixed.dwFileVersionLS));
    if (LOWORD(fixed.dwFileVersionLS) != 0) version += "." + std::to_string(LOWORD(fixed.dwFileVersionLS));
    return version;
}

Result<std::optional<std::uint32_t>> service_process_id() {
    const Result<unique_schandle> manager = scm::open_manager(SC_MANAGER_CONNECT);
    if (!manager) return fail(manager.error());
    const Result<unique_schandle> service = scm::open_service(manager->get(), SERVICE_QUERY_STATUS);
    if (!service && service.error().system_code() == ERROR_SERVICE_DOES_NOT_EXIST)
        return std::optional<std::uint32_t>();
    if (!service) return fail(service.error());
    const Result<SERVICE_STATUS_PROCESS> status = scm::query_status(service->get());
    if (!status) return fail(status.error());
    return std::optional<std::uint32_t>(status->dwProcessId);
}

Result<std::wstring> service_image_path() {
    const Result<unique_schandle> manager = scm::open_manager(SC_MANAGER_CONNECT);
    if (!manager) return fail(manager.error());
    const Result<unique_schandle> service = scm::open_service(manager->get(), SERVICE_QUERY_CONFIG);
    if (!service) return fail(service.error());
    const Result<scm::ServiceConfig> config = scm::query_config(service->get());
    if (!config) return fail(config.error());
    return scm::executable_of(config->binary_path);
}

Result<Answered> ask_helper(std::string_view request, bool console, std::string_view command) {
    const auto started = std::chrono::steady_clock::now();
    for (;;) {
        Result<PipeConnection> pipe = PipeConnection::open(console);
        Result<HelperIdentity> server = pipe ? pipe->server() : fail(pipe.error());
        Result<> allowed = server ? check_server(service_process_id(), *server, console, command) : fail(server.error());
        Result<std::string> reply = allowed ? pipe->exchange(request) : fail(allowed.error());
        if (reply) return Answered{std::move(*reply), std::move(*server)};
        if (!PipeConnection::dropped(reply.error()) || std::chrono::steady_clock::now() - started >= DROPPED_RETRY_WAIT)
            return fail(std::move(reply.error()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

HelperIdentity with_service_image(HelperIdentity who) {
    if (!who.image.empty()) return who;
    if (const Result<std::wstring> image = service_image_path()) {
        who.image = narrow(*image);
        who.version = image_version(*image);
    }
    return who;
}

Result<PipeConnection> PipeConnection::open(bool console) {
    const std::string pipe(PIPE_NAME_TEXT);
    const auto started = std::chrono::steady_clock::now();
    for (;;) {
        HANDLE h = CreateFileW(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (h != INVALID_HANDLE_VALUE) return PipeConnection(unique_handle(h));
        const DWORD code = GetLastError();
        const auto waited = std::chrono::steady_clock::now() - started;
        if (code == ERROR_FILE_NOT_FOUND) {
            if (waited >= ABSENT_WAIT)
                return fail("velmor-helper is not running: no " + pipe + "; " + how_to_start(console));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } else if (code == ERROR_PIPE_BUSY) {
            if (waited >= BUSY_WAIT)
                return fail("velmor-helper is busy with other clients and stayed busy for " +
                            std::to_string(BUSY_WAIT.count()) + " s; try again " + code_text(code));
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(BUSY_WAIT - waited);
            WaitNamedPipeW(PIPE_NAME, static_cast<DWORD>(std::max<long long>(1, left.count())));
        } else if (code == ERROR_ACCESS_DENIED) {
            return fail("access to " + pipe + " denied: only local users may use it " + code_text(code));
        } else {
            return fail(Error("cannot open " + pipe + "; try again", call_error("CreateFileW", code)));
        }
    }
}

bool PipeConnection::dropped(const Error& error) {
    const std::optional<std::uint32_t> code = error.system_code();
    return code && connection_ended(*code);
}

Result<HelperIdentity> PipeConnection::server() const {
    HelperIdentity who;
    ULONG id = 0;
    if (!GetNamedPipeServerProcessId(pipe_.get(), &id))
        return fail(Error("cannot tell which process serves " + std::string(PIPE_NAME_TEXT) + "; nothing was sent",
                          last_call_error("GetNamedPipeServerProcessId")));
    who.process = id;
    const unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!process) {
        who.unreadable = last_call_error("OpenProcess").one_line();
        return who;
    }
    FILETIME created{}, exited{}, kernel{}, user{};
    if (GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
        const auto intervals = static_cast<std::int64_t>((std::uint64_t{created.dwHighDateTime} << 32) |
                                                         created.dwLowDateTime);
        who.started = iso_time(intervals, utc_offset_minutes(intervals));
    }
    std::wstring image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) {
        who.unreadable = last_call_error("QueryFullProcessImageNameW").one_line();
        return who;
    }
    image.resize(size);
    who.image = narrow(image);
    who.version = image_version(image);
    return who;
}

namespace {

// The server's bounds on the slowest exchange, a start replacing a running
// core, all met one after the other.
constexpr CoreTimings SERVER_TIMINGS{};
static_assert(REPLY_WAIT > REQUEST_TIMEOUT + SERVER_TIMINGS.action_wait + SERVER_TIMINGS.prepare_timeout +
                               SERVER_TIMINGS.stop_timeout + SERVER_TIMINGS.start_check_delay,
              "velmor-ctl would give up on a helper still within its own bounds");

struct IoDone {
    bool ok = false;
    DWORD code = ERROR_SUCCESS;
    DWORD bytes = 0;
    bool timed_out = false;
};

// One overlapped call, `start(overlapped)` making it, completed by
// `deadline` or cancelled then. The call is always over when this returns:
// its buffer and OVERLAPPED may go.
template <typename Start>
IoDone overlapped_call(HANDLE pipe, std::chrono::steady_clock::time_point deadline, Start&& start) {
    const unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return {false, GetLastError()};
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    IoDone done;
    if (!start(&overlapped)) {
        const DWORD code = GetLastError();
        if (code != ERROR_IO_PENDING) return {false, code};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const DWORD waited = WaitForSingleObject(event.get(), static_cast<DWORD>(std::max<long long>(0, left.count())));
        if (waited != WAIT_OBJECT_0) {
            const DWORD wait_code = waited == WAIT_FAILED ? GetLastError() : DWORD{ERROR_SUCCESS};
            CancelIoEx(pipe, &overlapped);
            // Completed meanwhile after all, or cancelled: either way over.
            done.ok = GetOverlappedResult(pipe, &overlapped, &done.bytes, TRUE) != FALSE;
            done.code = done.ok ? ERROR_SUCCESS : GetLastError();
            if (done.ok || done.code == ERROR_MORE_DATA) return done;
            if (waited == WAIT_FAILED) return {false, wait_code};
            return {false, ERROR_TIMEOUT, 0, true};
        }
    }
    done.ok = GetOverlappedResult(pipe, &overlapped, &done.bytes, FALSE) != FALSE;
    done.code = done.ok ? ERROR_SUCCESS : GetLastError();
    return done;
}

}  // namespace

Result<std::string> exchange_on(HANDLE pipe, std::string_view request, std::chrono::milliseconds bound,
                                const std::function<std::string()>& log_hint) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    const auto timed_out = [&] {
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(bound).count();
        return fail("velmor-helper did not reply within " + std::to_string(seconds) + " s" + log_hint());
    };
    std::string_view rest = request;
    while (!rest.empty()) {
        const IoDone written = overlapped_call(pipe, deadline, [&](OVERLAPPED* o) {
            return WriteFile(pipe, rest.data(), static_cast<DWORD>(rest.size()), nullptr, o);
        });
        if (written.timed_out) return timed_out();
        if (!written.ok) {
            const DWORD code = written.code;
            if (connection_ended(code)) {
                Error error("velmor-helper ended the connection before the whole request was sent " + code_text(code));
                // Nothing of it was taken: the helper dropped the connection
                // (its share of the pipe was full), and it may be tried again.
                if (rest.size() == request.size()) return fail(std::move(error).with_system_code(code));
                return fail(std::move(error));
            }
            return fail(Error("cannot send the request", call_error("WriteFile", code)));
        }
        rest.remove_prefix(written.bytes);
    }
    std::string reply;
    std::vector<char> chunk(4096);
    while (reply.find('\n') == std::string::npos) {
        const IoDone read = overlapped_call(pipe, deadline, [&](OVERLAPPED* o) {
            return ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), nullptr, o);
        });
        if (read.timed_out) return timed_out();
        reply.append(chunk.data(), read.bytes);
        if (!read.ok && read.code != ERROR_MORE_DATA) {
            if (!connection_ended(read.code))
                return fail(Error("cannot read the reply", call_error("ReadFile", read.code)));
            if (reply.empty())
                return fail("velmor-helper ended the connection without a reply " + code_text(read.code) + log_hint());
            return fail("velmor-helper ended the connection in the middle of its reply " + code_text(read.code) +
                        log_hint());
        }
        if (read.ok && read.bytes == 0 && !reply.empty()) break;
    }
    return reply;
}

Result<std::string> PipeConnection::exchange(std::string_view request) const {
    return exchange_on(pipe_.get(), request, REPLY_WAIT, [this] {
        // Where the helper serving the pipe writes its log: next to its
        // executable.
        const Result<HelperIdentity> helper = server();
        return "; the helper's log says why: " +
               (helper && !helper->image.empty()
                    ? narrow((std::filesystem::path(widen(helper->image)).parent_path() / widen(LOG_FILE_NAME)).native())
                    : std::string(LOG_FILE_NAME) + " next to velmor-helper.exe");
    });
}

}  // namespace velmor::ctl
