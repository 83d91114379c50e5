#include "control/pipe_server_win32.hpp"

// After <windows.h>:
#include <sddl.h>

#include <array>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "control/control_access_win32.hpp"
#include "control/pipe_request.hpp"
#include "control/pipe_server.hpp"
#include "control/pipe_shares.hpp"
#include "control/pipe_watchdog.hpp"
#include "control/protocol.hpp"
#include "env/event_log.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(300);
constexpr std::string_view SD_FAILURE = "security descriptor init failed";
constexpr std::string_view OUT_OF_MEMORY_LINE = "pipe handle error: request dropped: out of memory";

Error call_failed(std::string_view call, DWORD code) {
    return Error(std::string(call) + " failed: " + std::to_string(code));
}

// What the server's threads share; each holds it by reference counting, so
// it lives as long as the last of them.
struct PipeServerContext {
    PipeServerContext(const wchar_t* pipe_name, std::shared_ptr<ActionContext> record,
                      std::shared_ptr<std::atomic<bool>> stop)
        : name(pipe_name), actions(std::move(record)), stop_requested(std::move(stop)) {}

    const std::wstring name;
    const std::shared_ptr<ActionContext> actions;
    const std::shared_ptr<std::atomic<bool>> stop_requested;
    // Instances the server's threads hold; with none, the next one created
    // claims the name as the first instance.
    std::atomic<int> instances{0};
    // Who holds the connected ones.
    PipeShares shares{static_cast<int>(PIPE_MAX_INSTANCES)};
};

// One pipe instance of the server, counted in the context while held.
class HeldInstance {
public:
    explicit HeldInstance(std::atomic<int>& count) : count_(count) {}
    ~HeldInstance() { reset(); }
    HeldInstance(const HeldInstance&) = delete;
    HeldInstance& operator=(const HeldInstance&) = delete;

    void hold(unique_handle handle) {
        reset();
        handle_ = std::move(handle);
        if (handle_) count_.fetch_add(1);
    }
    void reset() {
        if (!handle_) return;
        handle_.reset();
        count_.fetch_sub(1);
    }
    HANDLE get() const { return handle_.get(); }
    explicit operator bool() const { return static_cast<bool>(handle_); }

private:
    std::atomic<int>& count_;
    unique_handle handle_;
};

// Logs an accept error. Returns true when the server has to stop; otherwise
// pauses before the next attempt. Accept errors are mostly caused by clients
// (one that closes before it is accepted), so they pass the log's rate limit.
bool give_up_after(const Error& error, std::atomic<bool>& stop_requested) {
    if (error.message().find(SD_FAILURE) != std::string::npos) {
        log_message("pipe accept error: " + error.full_description());
        log_message("ERROR: security descriptor init failed; stopping service");
        stop_requested.store(true);
        return true;
    }
    log_client_message("pipe accept error: " + error.full_description());
    std::this_thread::sleep_for(ACCEPT_RETRY_DELAY);
    return false;
}

// The process serving `name`, asked as a client that lends that server
// nothing to act with (anonymous): whoever holds the name cannot act as us.
std::string pipe_holder(const wchar_t* name) {
    const unique_handle client = adopt_file_handle(CreateFileW(
        name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, nullptr));
    ULONG process = 0;
    if (!client || !GetNamedPipeServerProcessId(client.get(), &process)) return "an unknown process";
    return "process " + std::to_string(process);
}

// Logged at once and then once a minute while it lasts, outside the limit
// on client-caused lines that each attempt's accept error passes: nobody can
// be served until the name is free.
constexpr auto NAME_TAKEN_REPEAT = std::chrono::minutes(1);

// A handle to the calling thread that its watchdog uses to cancel the
// thread's synchronous I/O; the failing call's error when there is none.
Result<unique_handle> current_thread_handle() {
    HANDLE h = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &h, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return fail(call_failed("DuplicateHandle", GetLastError()));
    return unique_handle(h);
}

// Who the client of a connected instance is, as far as the system says.
PipeClientKey client_key(HANDLE pipe) {
    PipeClientKey key;
    ULONG id = 0;
    if (GetNamedPipeClientProcessId(pipe, &id)) key.process = id;
    if (GetNamedPipeClientSessionId(pipe, &id)) key.session = id;
    return key;
}

std::string describe_key(const PipeClientKey& key) {
    return key.process ? "process " + std::to_string(*key.process) : std::string("an unknown process");
}

// Reads one request line, answers it, and makes sure the client can take
// the reply before the instance is disconnected. Returns the handling error,
// if any.
std::optional<Error> serve_client(HANDLE pipe, ActionContext& actions, IoWatchdog& watchdog,
                                  std::optional<PipeShares::Claim>& claim) {
    const auto connected = IoWatchdog::Clock::now();
    // Nothing yet: the short bound for a client that sends nothing; after
    // the first bytes, the bound for the whole request.
    bool started = false;
    const auto timeout = [&started] {
        return started ? Error("request not completed within " + std::to_string(REQUEST_TIMEOUT.count()) + " s")
                       : Error("no request within " + std::to_string(FIRST_BYTES_TIMEOUT.count()) + " s");
    };
    watchdog.arm(connected + FIRST_BYTES_TIMEOUT);
    RequestGatherer gatherer;
    std::vector<char> chunk(READ_CHUNK_BYTES);
    while (gatherer.state() == GatherState::NeedMore) {
        if (watchdog.expired()) {
            watchdog.disarm();
            return timeout();
        }
        DWORD n = 0;
        const BOOL ok = ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr);
        const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
        // ERROR_MORE_DATA: the message is longer than one read and goes on.
        if (!ok && code != ERROR_MORE_DATA) {
            const bool timed_out = watchdog.disarm();
            if (timed_out && code == ERROR_OPERATION_ABORTED) return timeout();
            return call_failed("ReadFile", code);
        }
        if (!ok && n == 0) continue;
        if (!started && n > 0) {
            started = true;
            watchdog.arm(connected + REQUEST_TIMEOUT);
        }
        gatherer.add(std::string_view(chunk.data(), n));
    }
    watchdog.disarm();
    if (gatherer.state() == GatherState::TooLarge)
        return Error("request larger than " + std::to_string(MAX_REQUEST_BYTES) + " bytes");

    PipeClient client(pipe);
    Result<std::string> reply = handle_request(gatherer.bytes(), actions, client.control_client(actions));
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
    // The client has read its reply and may be back at once: its share is
    // free again before the instance is.
    claim.reset();
    return std::nullopt;
}

// One of the server's threads: holds one instance and serves client after
// client on it, disconnecting and reusing it, with its own watchdog for the
// time bounds. Without a handle for the watchdog it serves nobody: clients
// without bounds could hold the thread for ever. Nothing escapes it; an
// allocation failure ends only the exchange it hit.
void serve_instances(const std::shared_ptr<PipeServerContext>& context, unique_handle first) noexcept {
    std::atomic<bool>& stop_requested = *context->stop_requested;
    HeldInstance instance(context->instances);
    instance.hold(std::move(first));
    unique_handle self;
    try {
        Result<unique_handle> duplicated = current_thread_handle();
        if (!duplicated) {
            log_message("ERROR: pipe server thread not serving, its clients would have no time bounds: " +
                        duplicated.error().message());
            return;
        }
        self = std::move(*duplicated);
    } catch (const std::bad_alloc&) {
        log_message("ERROR: pipe server thread not serving: out of memory");
        return;
    }
    const HANDLE self_handle = self.get();
    std::optional<IoWatchdog> watchdog;

    for (;;) {
        if (stop_requested.load()) return;
        try {
            if (!watchdog) {
                try {
                    watchdog.emplace([self_handle] { CancelSynchronousIo(self_handle); });
                } catch (const std::system_error&) {
                    if (give_up_after(Error("failed to spawn thread"), stop_requested)) return;
                    continue;
                }
            }
            if (!instance) {
                Result<unique_handle> created =
                    create_pipe_instance(context->name.c_str(), context->instances.load() == 0);
                if (!created) {
                    if (give_up_after(created.error(), stop_requested)) return;
                    continue;
                }
                instance.hold(std::move(*created));
            }

            // A client may connect to an instance before its thread is back
            // in ConnectNamedPipe (ERROR_PIPE_CONNECTED), and may even have
            // closed again (ERROR_NO_DATA): either is served like any client,
            // and the second one's read fails as when it closes later.
            if (!ConnectNamedPipe(instance.get(), nullptr)) {
                const DWORD code = GetLastError();
                if (code != ERROR_PIPE_CONNECTED && code != ERROR_NO_DATA) {
                    // The instance is lost: another one is made at once, so
                    // that nobody else finds the slot free.
                    instance.reset();
                    if (Result<unique_handle> again =
                            create_pipe_instance(context->name.c_str(), context->instances.load() == 0))
                        instance.hold(std::move(*again));
                    if (give_up_after(call_failed("ConnectNamedPipe", code), stop_requested)) return;
                    continue;
                }
            }

            // A connection beyond the client's fair share is dropped at once.
            const PipeClientKey key = client_key(instance.get());
            std::optional<PipeShares::Claim> claim = context->shares.admit(key);
            if (!claim) {
                DisconnectNamedPipe(instance.get());
                log_client_message("pipe handle error: connection dropped: " + describe_key(key) +
                                   " holds its share of the pipe");
                continue;
            }

            std::optional<Error> handling_error;
            bool out_of_memory = false;
            try {
                handling_error = serve_client(instance.get(), *context->actions, *watchdog, claim);
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
            }
            // Armed still when an allocation failed mid-read.
            watchdog->disarm();
            DisconnectNamedPipe(instance.get());
            claim.reset();
            if (out_of_memory) log_client_message(OUT_OF_MEMORY_LINE);
            else if (handling_error) log_client_message("pipe handle error: " + handling_error->full_description());
        } catch (const std::bad_alloc&) {
            // Between clients (an error text, an instance): the connection, if
            // any, is dropped and the thread tries again after a pause.
            if (watchdog) watchdog->disarm();
            if (instance) DisconnectNamedPipe(instance.get());
            log_client_message(OUT_OF_MEMORY_LINE);
            std::this_thread::sleep_for(ACCEPT_RETRY_DELAY);
        }
    }
}

Result<unique_handle> create_pipe_instance_with(const wchar_t* sddl, const wchar_t* name, bool first_instance) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr) ||
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

}  // namespace

Result<unique_handle> create_pipe_instance(const wchar_t* name, bool first_instance) {
    Result<unique_handle> created = create_pipe_instance_with(PIPE_SDDL, name, first_instance);
    // Only SYSTEM and elevated administrators may name the Administrators as
    // owner; a standard user's console helper owns its pipe itself.
    if (!created && created.error().message() == "CreateNamedPipeW failed: " + std::to_string(ERROR_INVALID_OWNER))
        return create_pipe_instance_with(PIPE_SDDL_WITHOUT_OWNER, name, first_instance);
    return created;
}

void serve_pipe(const wchar_t* name, std::shared_ptr<ActionContext> actions,
                std::shared_ptr<std::atomic<bool>> stop_requested) {
    std::shared_ptr<PipeServerContext> context;
    unique_handle first;
    try {
        context = std::make_shared<PipeServerContext>(name, std::move(actions), std::move(stop_requested));
    } catch (const std::bad_alloc&) {
        log_message("ERROR: pipe server not started: out of memory");
        return;
    }
    // The first instance claims the name. The others are made right after
    // it, before anyone is served, and each thread keeps its instance for
    // the server's whole life: with every instance the pipe allows held,
    // nobody else can add one (any user may try: writing to a pipe includes
    // that right). A thread left without one makes its own, with retries.
    std::optional<std::chrono::steady_clock::time_point> reported;
    for (;;) {
        if (context->stop_requested->load()) return;
        Result<unique_handle> created = create_pipe_instance(context->name.c_str(), true);
        if (created) {
            first = std::move(*created);
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (created.error().message().find(SD_FAILURE) == std::string::npos &&
            (!reported || now - *reported >= NAME_TAKEN_REPEAT)) {
            reported = now;
            const std::string line =
                "pipe name taken by " + pipe_holder(context->name.c_str()) + ": " + created.error().full_description();
            log_message("ERROR: " + line);
            report_event(EventId::pipe_name_taken, EventKind::error, line);
        }
        if (give_up_after(created.error(), *context->stop_requested)) return;
    }
    std::array<unique_handle, PIPE_MAX_INSTANCES - 1> others;
    for (unique_handle& other : others) {
        try {
            if (Result<unique_handle> created = create_pipe_instance(context->name.c_str(), false))
                other = std::move(*created);
        } catch (const std::bad_alloc&) {
            // Its thread makes it.
        }
    }
    for (unique_handle& other : others) {
        try {
            std::thread([context, held = std::move(other)]() mutable {
                serve_instances(context, std::move(held));
            }).detach();
        } catch (const std::exception&) {
            // std::system_error or std::bad_alloc. Fewer clients side by
            // side, but still served.
            log_message("failed to spawn thread");
            break;
        }
    }
    serve_instances(context, std::move(first));
}

void run_pipe_server(std::shared_ptr<ActionContext> actions, std::shared_ptr<std::atomic<bool>> stop_requested) {
    serve_pipe(PIPE_NAME, std::move(actions), std::move(stop_requested));
}

}  // namespace velmor
