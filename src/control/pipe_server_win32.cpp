#include "control/pipe_server_win32.hpp"

// After <windows.h>:
#include <sddl.h>

#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "control/pipe_request.hpp"
#include "control/pipe_server.hpp"
#include "control/pipe_watchdog.hpp"
#include "control/protocol.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(300);
constexpr std::string_view SD_FAILURE = "security descriptor init failed";

Error call_failed(std::string_view call, DWORD code) {
    return Error(std::string(call) + " failed: " + std::to_string(code));
}

// Logs an accept error. Returns true when the server has to stop; otherwise
// pauses before the next attempt.
bool give_up_after(const Error& error, std::atomic<bool>& stop_requested) {
    log_message("pipe accept error: " + error.full_description());
    if (error.message().find(SD_FAILURE) != std::string::npos) {
        log_message("ERROR: security descriptor init failed; stopping service");
        stop_requested.store(true);
        return true;
    }
    std::this_thread::sleep_for(ACCEPT_RETRY_DELAY);
    return false;
}

// A handle to the calling thread that other threads may use to cancel its
// synchronous I/O.
unique_handle current_thread_handle() {
    HANDLE h = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &h, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return unique_handle();
    return unique_handle(h);
}

// Reads one request line, answers it, and makes sure the client can take
// the reply before the instance is disconnected. Returns the handling error,
// if any.
std::optional<Error> serve_client(HANDLE pipe, CoreShared& core, IoWatchdog& watchdog) {
    const std::string timeout_text = "request not completed within " + std::to_string(REQUEST_TIMEOUT.count()) + " s";
    watchdog.arm(IoWatchdog::Clock::now() + REQUEST_TIMEOUT);
    RequestGatherer gatherer;
    std::vector<char> chunk(READ_CHUNK_BYTES);
    while (gatherer.state() == GatherState::NeedMore) {
        if (watchdog.expired()) {
            watchdog.disarm();
            return Error(timeout_text);
        }
        DWORD n = 0;
        const BOOL ok = ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr);
        const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
        // ERROR_MORE_DATA: the message is longer than one read and goes on.
        if (!ok && code != ERROR_MORE_DATA) {
            const bool timed_out = watchdog.disarm();
            if (timed_out && code == ERROR_OPERATION_ABORTED) return Error(timeout_text);
            return call_failed("ReadFile", code);
        }
        if (!ok && n == 0) continue;
        gatherer.add(std::string_view(chunk.data(), n));
    }
    watchdog.disarm();
    if (gatherer.state() == GatherState::TooLarge)
        return Error("request larger than " + std::to_string(MAX_REQUEST_BYTES) + " bytes");

    Result<std::string> reply = handle_request(gatherer.bytes(), core);
    if (!reply) return std::move(reply.error());

    const std::string reply_timeout_text = "reply not read within " + std::to_string(REPLY_TIMEOUT.count()) + " s";
    watchdog.arm(IoWatchdog::Clock::now() + REPLY_TIMEOUT);
    std::string_view rest = *reply;
    while (!rest.empty()) {
        DWORD written = 0;
        if (!WriteFile(pipe, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr)) {
            const DWORD code = GetLastError();
            const bool timed_out = watchdog.disarm();
            if (timed_out && code == ERROR_OPERATION_ABORTED) return Error(reply_timeout_text);
            return call_failed("WriteFile", code);
        }
        if (written == 0) break;
        rest.remove_prefix(written);
    }
    // Disconnecting discards what the client has not read yet: wait until it
    // has, but no longer than the bound. A client that went away makes the
    // flush fail, which needs no report.
    if (!FlushFileBuffers(pipe)) {
        const DWORD code = GetLastError();
        if (watchdog.disarm() && code == ERROR_OPERATION_ABORTED) return Error(reply_timeout_text);
        return std::nullopt;
    }
    watchdog.disarm();
    return std::nullopt;
}

}  // namespace

Result<unique_handle> create_pipe_instance(const wchar_t* name, bool first_instance) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PIPE_SDDL, SDDL_REVISION_1, &descriptor, nullptr) ||
        descriptor == nullptr) {
        const Error inner = call_failed("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
        log_message("ERROR: security descriptor init failed: " + inner.full_description());
        return fail(std::string(SD_FAILURE) + ": " + inner.message());
    }
    unique_hlocal descriptor_owner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    HANDLE pipe = CreateNamedPipeW(name, pipe_open_mode(first_instance), PIPE_MODE, PIPE_MAX_INSTANCES,
                                   PIPE_BUFFER_BYTES, PIPE_BUFFER_BYTES, 0, &attributes);
    const DWORD code = GetLastError();
    descriptor_owner.reset();
    if (pipe == INVALID_HANDLE_VALUE) return fail(call_failed("CreateNamedPipeW", code));
    return unique_handle(pipe);
}

void run_pipe_server(std::shared_ptr<CoreShared> core, std::shared_ptr<std::atomic<bool>> stop_requested) {
    const unique_handle self = current_thread_handle();
    const HANDLE self_handle = self.get();
    std::optional<IoWatchdog> watchdog;
    // The instance that holds the name for the next client. A served instance
    // is let go only after its successor exists, so the name is never free
    // for someone else to take while the server runs.
    unique_handle next;

    for (;;) {
        if (stop_requested->load()) return;

        if (!watchdog) {
            try {
                watchdog.emplace([self_handle] { CancelSynchronousIo(self_handle); });
            } catch (const std::system_error&) {
                if (give_up_after(Error("failed to spawn thread"), *stop_requested)) return;
                continue;
            }
        }

        unique_handle instance = std::move(next);
        if (!instance) {
            Result<unique_handle> created = create_pipe_instance(PIPE_NAME, true);
            if (!created) {
                if (give_up_after(created.error(), *stop_requested)) return;
                continue;
            }
            instance = std::move(*created);
        }

        std::optional<Error> accept_error;
        std::optional<Error> handling_error;
        if (!ConnectNamedPipe(instance.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            accept_error = call_failed("ConnectNamedPipe", GetLastError());
        } else {
            handling_error = serve_client(instance.get(), *core, *watchdog);
        }

        Result<unique_handle> successor = create_pipe_instance(PIPE_NAME, false);
        if (!accept_error) DisconnectNamedPipe(instance.get());
        instance.reset();

        if (handling_error) log_message("pipe handle error: " + handling_error->full_description());
        if (accept_error && give_up_after(*accept_error, *stop_requested)) return;
        if (!successor) {
            if (give_up_after(successor.error(), *stop_requested)) return;
            continue;
        }
        next = std::move(*successor);
    }
}

}  // namespace velmor
