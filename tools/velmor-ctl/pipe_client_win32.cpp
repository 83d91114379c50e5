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

static_assert(velmor::ctl::pipe_code::ACCESS_DENIED == ERROR_ACCESS_DENIED);
static_assert(velmor::ctl::pipe_code::FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND);
static_assert(velmor::ctl::pipe_code::PIPE_BUSY == ERROR_PIPE_BUSY);
static_assert(velmor::ctl::pipe_code::BROKEN_PIPE == ERROR_BROKEN_PIPE);
static_assert(velmor::ctl::pipe_code::NO_DATA == ERROR_NO_DATA);
static_assert(velmor::ctl::pipe_code::PIPE_NOT_CONNECTED == ERROR_PIPE_NOT_CONNECTED);
static_assert(velmor::ctl::pipe_code::MORE_DATA == ERROR_MORE_DATA);

namespace velmor::ctl {
namespace {

// How long a connection dropped at once is tried again.
constexpr auto DROPPED_RETRY_WAIT = std::chrono::seconds(10);

// How to get a helper running, for one that is absent.
std::string how_to_start(bool console) {
    if (console) return "start one with `velmor-helper.exe console` (from a source tree: scripts/run)";
    const Result<std::optional<std::uint32_t>> service = scm::service_process_id();
    if (service && !*service)
        return "the service is not installed: install it with `velmor-helper.exe install` from an elevated prompt, "
               "or deploy the MSI";
    if (service) return "start the service with `sc start velmor-helper`";
    return "start the service with `sc start velmor-helper`, or install it with `velmor-helper.exe install`";
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

Result<Answered> ask_helper(std::string_view request, bool console, std::string_view command) {
    const auto started = std::chrono::steady_clock::now();
    for (;;) {
        Result<PipeConnection> pipe = PipeConnection::open(console);
        Result<HelperIdentity> server = pipe ? pipe->server() : fail(pipe.error());
        Result<> allowed = server ? check_server(scm::service_process_id(), *server, console, command) : fail(server.error());
        Result<std::string> reply = allowed ? pipe->exchange(request) : fail(allowed.error());
        if (reply) return Answered{std::move(*reply), std::move(*server)};
        if (!PipeConnection::dropped(reply.error()) || std::chrono::steady_clock::now() - started >= DROPPED_RETRY_WAIT)
            return fail(std::move(reply.error()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

HelperIdentity with_service_image(HelperIdentity who) {
    if (!who.image.empty()) return who;
    if (const Result<std::wstring> image = scm::service_image_path()) {
        who.image = narrow(*image);
        who.version = image_version(*image);
    }
    return who;
}

Result<PipeConnection> PipeConnection::open(bool console) {
    const auto started = std::chrono::steady_clock::now();
    for (;;) {
        HANDLE h = CreateFileW(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (h != INVALID_HANDLE_VALUE) return PipeConnection(unique_handle(h));
        const auto waited = std::chrono::steady_clock::now() - started;
        OpenRetry retry = after_open_failure(GetLastError(), waited, [console] { return how_to_start(console); });
        if (retry.step == OpenRetry::give_up) return fail(std::move(*retry.error));
        if (retry.step == OpenRetry::wait_absent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } else {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(BUSY_WAIT - waited);
            WaitNamedPipeW(PIPE_NAME, static_cast<DWORD>(std::max<long long>(1, left.count())));
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
    DWORD bytes = 0;
    if (!start(&overlapped)) {
        const DWORD code = GetLastError();
        if (code != ERROR_IO_PENDING) return {false, code};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const DWORD waited = WaitForSingleObject(event.get(), static_cast<DWORD>(std::max<long long>(0, left.count())));
        if (waited != WAIT_OBJECT_0) {
            const DWORD wait_code = waited == WAIT_FAILED ? GetLastError() : DWORD{ERROR_SUCCESS};
            CancelIoEx(pipe, &overlapped);
            // Completed meanwhile after all, or cancelled: either way over.
            done.ok = GetOverlappedResult(pipe, &overlapped, &bytes, TRUE) != FALSE;
            done.code = done.ok ? ERROR_SUCCESS : GetLastError();
            done.bytes = bytes;
            if (done.ok || done.code == ERROR_MORE_DATA) return done;
            if (waited == WAIT_FAILED) return {false, wait_code};
            return {false, ERROR_TIMEOUT, 0, true};
        }
    }
    done.ok = GetOverlappedResult(pipe, &overlapped, &bytes, FALSE) != FALSE;
    done.code = done.ok ? ERROR_SUCCESS : GetLastError();
    done.bytes = bytes;
    return done;
}

}  // namespace

Result<std::string> exchange_on(HANDLE pipe, std::string_view request, std::chrono::milliseconds bound,
                                const std::function<std::string()>& log_hint) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    const ExchangeCalls calls{
        [&](std::string_view rest) {
            return overlapped_call(pipe, deadline, [&](OVERLAPPED* o) {
                return WriteFile(pipe, rest.data(), static_cast<DWORD>(rest.size()), nullptr, o);
            });
        },
        [&](char* buffer, std::uint32_t size) {
            return overlapped_call(pipe, deadline,
                                   [&](OVERLAPPED* o) { return ReadFile(pipe, buffer, size, nullptr, o); });
        }};
    return exchange_over(calls, request, bound, log_hint);
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
