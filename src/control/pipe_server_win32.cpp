#include "control/pipe_server_win32.hpp"

// After <windows.h>:
#include <aclapi.h>
#include <sddl.h>

#include <array>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "base/os_error.hpp"
#include "control/control_access_win32.hpp"
#include "control/pipe_exchange.hpp"
#include "control/pipe_shares.hpp"
#include "control/pipe_watchdog.hpp"
#include "control/protocol.hpp"
#include "env/event_log.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(300);
// Attempts at each further instance before the server gives up; a restart
// of the service makes them all anew.
constexpr int INSTANCE_ATTEMPTS = 10;
constexpr std::string_view OUT_OF_MEMORY_LINE = "pipe handle error: request dropped: out of memory";

// What the server's threads share; each holds it by reference counting, so
// it lives as long as the last of them, and with it every instance: an
// instance that no thread serves any more is still held, so that nobody
// else can add one in its place.
struct PipeServerContext {
    PipeServerContext(const wchar_t* pipe_name, PipeServerHost server_host)
        : name(pipe_name), host(std::move(server_host)) {}

    const std::wstring name;
    const PipeServerHost host;
    std::vector<unique_handle> instances;  // written before the threads start
    // Who holds the connected ones.
    PipeShares shares{static_cast<int>(PIPE_MAX_INSTANCES)};
};

Result<unique_hlocal> descriptor_from(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr) ||
        descriptor == nullptr)
        return fail(last_call_error("ConvertStringSecurityDescriptorToSecurityDescriptorW"));
    return unique_hlocal(descriptor);
}

Result<unique_handle> create_instance(const wchar_t* name, bool first_instance, PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    HANDLE pipe = CreateNamedPipeW(name, pipe_open_mode(first_instance), PIPE_MODE, PIPE_MAX_INSTANCES,
                                   PIPE_BUFFER_BYTES, PIPE_BUFFER_BYTES, 0, &attributes);
    if (pipe == INVALID_HANDLE_VALUE) return fail(last_call_error("CreateNamedPipeW"));
    return unique_handle(pipe);
}

// The process that runs the helper's service, if it runs.
std::optional<DWORD> service_process() {
    const unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return std::nullopt;
    const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_STATUS));
    if (!service) return std::nullopt;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed) ||
        status.dwProcessId == 0)
        return std::nullopt;
    return status.dwProcessId;
}

// The server gives up: the host hears why before the flag is set.
void give_up(PipeServerContext& context, PipeServerEnd end, const Error& error) {
    if (context.host.ended) context.host.ended(end, error);
    context.host.stop_requested->store(true);
}

// Claims the name and makes every instance, then lets clients in. Returns
// false when the server gives up or is stopped first.
bool make_instances(PipeServerContext& context) {
    bool taken_reported = false;
    int attempts = 0;
    for (;;) {
        if (context.host.stop_requested->load()) return false;
        // What was made stays: the first instance keeps the name meanwhile.
        const std::optional<PipeCreateError> failed = add_pipe_instances(context.name.c_str(), context.instances);
        if (!failed) break;
        switch (failed->failure) {
        case PipeCreateFailure::descriptor:
            log_message(LogLevel::error, "security descriptor init failed: " + failed->error.full_description());
            log_message(LogLevel::error, "security descriptor init failed; stopping service");
            give_up(context, PipeServerEnd::failed, failed->error.context("security descriptor init failed"));
            return false;
        case PipeCreateFailure::taken:
            // One line and one event while it lasts: nobody can be served
            // until the name is free.
            if (!taken_reported || context.host.give_up_when_taken) {
                const PipeHolder holder = pipe_holder(context.name.c_str());
                const std::string line =
                    "pipe name taken by " + holder.who + ": " + failed->error.one_line() + "; " + holder.advice;
                if (!taken_reported) {
                    taken_reported = true;
                    report(EventId::pipe_name_taken, line);
                    if (!context.host.give_up_when_taken && context.host.waiting_for_name)
                        context.host.waiting_for_name();
                }
                if (context.host.give_up_when_taken) {
                    give_up(context, PipeServerEnd::name_taken, Error(line));
                    return false;
                }
            }
            break;
        case PipeCreateFailure::instance:
            log_client_message("pipe accept error: " + failed->error.full_description());
            if (++attempts == INSTANCE_ATTEMPTS) {
                const Error error = failed->error.context("pipe not served: not every instance could be made");
                log_message(LogLevel::error, error.full_description());
                give_up(context, PipeServerEnd::failed, error);
                return false;
            }
            break;
        }
        std::this_thread::sleep_for(ACCEPT_RETRY_DELAY);
    }
    if (Result<> opened = open_pipe_to_clients(context.instances.front().get()); !opened) {
        const Error error = opened.error().context("pipe not opened to clients");
        log_message(LogLevel::error, error.full_description());
        give_up(context, PipeServerEnd::failed, error);
        return false;
    }
    if (context.host.serving) context.host.serving();
    return true;
}

// A handle to the calling thread that its watchdog uses to cancel the
// thread's synchronous I/O; the failing call's error when there is none.
Result<unique_handle> current_thread_handle() {
    HANDLE h = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &h, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return fail(last_call_error("DuplicateHandle"));
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

// A connected instance, for the exchange.
class InstanceConnection final : public PipeConnection {
public:
    explicit InstanceConnection(HANDLE pipe) : pipe_(pipe) {}

    IoOutcome read(char* buffer, std::size_t size) override {
        DWORD n = 0;
        const BOOL ok = ReadFile(pipe_, buffer, static_cast<DWORD>(size), &n, nullptr);
        return outcome(ok, n, "ReadFile");
    }
    IoOutcome write(std::string_view bytes) override {
        DWORD n = 0;
        const BOOL ok = WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
        return outcome(ok, n, "WriteFile");
    }
    IoOutcome flush() override { return outcome(FlushFileBuffers(pipe_), 0, "FlushFileBuffers"); }

private:
    static IoOutcome outcome(BOOL ok, DWORD bytes, std::string_view call) {
        if (ok) return {IoStatus::done, bytes, std::nullopt};
        const DWORD code = GetLastError();
        // ERROR_MORE_DATA: the message is longer than one read and goes on.
        if (code == ERROR_MORE_DATA) return {IoStatus::more_data, bytes, std::nullopt};
        return {code == ERROR_OPERATION_ABORTED ? IoStatus::cancelled : IoStatus::failed, bytes,
                call_error(call, code)};
    }

    HANDLE pipe_;
};

// An instance whose client cannot be let go can serve nobody else. It stays
// held, so that its place is not free for anyone to take; its thread ends.
void report_lost(const std::string& cause) {
    const std::string line = "pipe instance lost: " + cause;
    report(EventId::pipe_instance_lost, line);
}

// Lets the client of `instance` go; false (after reporting it) when the
// instance is lost.
bool let_go(HANDLE instance) {
    if (DisconnectNamedPipe(instance)) return true;
    report_lost(last_call_error("DisconnectNamedPipe").one_line());
    return false;
}

// One of the server's threads: serves client after client on one instance,
// disconnecting and reusing it, with its own watchdog for the time bounds.
// Without a handle for the watchdog it serves nobody: clients without bounds
// could hold the thread for ever. Nothing escapes it.
void serve_instance(const std::shared_ptr<PipeServerContext>& context, HANDLE instance) noexcept {
    std::atomic<bool>& stop_requested = *context->host.stop_requested;
    unique_handle self;
    try {
        Result<unique_handle> duplicated = current_thread_handle();
        if (!duplicated) {
            log_message(LogLevel::error, "pipe server thread not serving, its clients would have no time bounds: " +
                        duplicated.error().message());
            return;
        }
        self = std::move(*duplicated);
    } catch (const std::bad_alloc&) {
        log_message(LogLevel::error, "pipe server thread not serving: out of memory");
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
                    log_client_message("pipe accept error: failed to spawn thread");
                    std::this_thread::sleep_for(ACCEPT_RETRY_DELAY);
                    continue;
                }
            }

            // A client may connect to an instance before its thread is back
            // in ConnectNamedPipe (ERROR_PIPE_CONNECTED), and may even have
            // closed again (ERROR_NO_DATA): either is served like any client,
            // and the second one's read fails as when it closes later.
            if (!ConnectNamedPipe(instance, nullptr)) {
                const DWORD code = GetLastError();
                if (code != ERROR_PIPE_CONNECTED && code != ERROR_NO_DATA) {
                    log_client_message("pipe accept error: " + call_error("ConnectNamedPipe", code).full_description());
                    // The instance is reused, never made again: while it is
                    // closed, anyone could add one in its place.
                    if (!let_go(instance)) return;
                    std::this_thread::sleep_for(ACCEPT_RETRY_DELAY);
                    continue;
                }
            }

            // A connection beyond the client's fair share is dropped at once.
            const PipeClientKey key = client_key(instance);
            std::optional<PipeShares::Claim> claim = context->shares.admit(key);
            if (!claim) {
                if (!let_go(instance)) return;
                log_client_message("pipe handle error: connection dropped: " + describe_key(key) +
                                   " holds its share of the pipe");
                continue;
            }

            InstanceConnection connection(instance);
            const ExchangeEnd end = run_exchange(connection, *watchdog, [&](std::string_view request) {
                PipeClient client(instance);
                return handle_request(request, *context->host.actions, client.control_client(*context->host.actions));
            });
            // The client has read its reply and may be back at once: its
            // share is free again before the instance is.
            if (end.reply_taken) claim.reset();
            const bool kept = let_go(instance);
            claim.reset();
            if (end.out_of_memory) log_client_message(OUT_OF_MEMORY_LINE);
            else if (end.error) log_client_message("pipe handle error: " + end.error->full_description());
            if (!kept) return;
        } catch (const std::bad_alloc&) {
            // Between clients (an error text, a share): the connection, if
            // any, is dropped and the thread tries again after a pause.
            if (watchdog) watchdog->disarm();
            if (!let_go(instance)) return;
            log_client_message(OUT_OF_MEMORY_LINE);
            std::this_thread::sleep_for(ACCEPT_RETRY_DELAY);
        }
    }
}

}  // namespace

std::optional<PipeCreateError> add_pipe_instances(const wchar_t* name, std::vector<unique_handle>& instances) {
    while (instances.size() < PIPE_MAX_INSTANCES) {
        const bool first = instances.empty();
        Result<unique_hlocal> descriptor = descriptor_from(PIPE_SDDL_CREATING);
        if (!descriptor) return PipeCreateError{PipeCreateFailure::descriptor, std::move(descriptor.error())};
        Result<unique_handle> created = create_instance(name, first, descriptor->get());
        // Only SYSTEM and elevated administrators may name the Administrators
        // as owner; a standard user's console helper owns its pipe itself.
        if (!created && created.error().system_code() == ERROR_INVALID_OWNER) {
            descriptor = descriptor_from(PIPE_SDDL_CREATING_WITHOUT_OWNER);
            if (!descriptor) return PipeCreateError{PipeCreateFailure::descriptor, std::move(descriptor.error())};
            created = create_instance(name, first, descriptor->get());
        }
        if (!created)
            return PipeCreateError{first ? PipeCreateFailure::taken : PipeCreateFailure::instance,
                                   std::move(created.error())};
        instances.push_back(std::move(*created));
    }
    return std::nullopt;
}

Result<> open_pipe_to_clients(HANDLE instance) {
    Result<unique_hlocal> descriptor = descriptor_from(PIPE_SDDL_SERVING);
    if (!descriptor) return fail(std::move(descriptor.error()));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor->get(), &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return fail(last_call_error("GetSecurityDescriptorDacl"));
    const DWORD code = SetSecurityInfo(instance, SE_KERNEL_OBJECT,
                                       DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, dacl, nullptr);
    if (code != ERROR_SUCCESS) return fail(call_error("SetSecurityInfo", code));
    return {};
}

PipeHolder pipe_holder(const wchar_t* name) {
    const unique_handle client = adopt_file_handle(CreateFileW(
        name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, nullptr));
    ULONG process = 0;
    if (!client || !GetNamedPipeServerProcessId(client.get(), &process))
        return {"an unknown process", "end the program that holds it first"};
    const std::string id = "process " + std::to_string(process);
    if (service_process() == process)
        return {"the velmor-helper service (" + id + ")", "stop the service first (sc stop velmor-helper)"};
    return {id, "end that process first"};
}

void serve_pipe(const wchar_t* name, PipeServerHost host) {
    std::shared_ptr<PipeServerContext> context;
    const std::shared_ptr<std::atomic<bool>> stop_requested = host.stop_requested;
    try {
        context = std::make_shared<PipeServerContext>(name, std::move(host));
        context->instances.reserve(PIPE_MAX_INSTANCES);
    } catch (const std::bad_alloc&) {
        log_message(LogLevel::error, "pipe server not started: out of memory");
        stop_requested->store(true);
        return;
    }
    // Every instance the pipe allows is made before anyone is served, and
    // each is kept for the server's whole life.
    if (!make_instances(*context)) return;
    for (std::size_t i = 1; i < context->instances.size(); ++i) {
        try {
            std::thread([context, instance = context->instances[i].get()] {
                serve_instance(context, instance);
            }).detach();
        } catch (const std::exception&) {
            // std::system_error or std::bad_alloc. Fewer clients side by
            // side, but still served; the instances stay held.
            log_message("failed to spawn thread");
            break;
        }
    }
    serve_instance(context, context->instances.front().get());
}

void run_pipe_server(PipeServerHost host) { serve_pipe(PIPE_NAME, std::move(host)); }

}  // namespace velmor
