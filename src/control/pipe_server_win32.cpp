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
#include "control/pipe_loop.hpp"
#include "control/pipe_shares.hpp"
#include "control/pipe_watchdog.hpp"
#include "control/protocol.hpp"
#include "trust/account_win32.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(300);
// How long the holder of a taken name is waited for when all its instances
// are busy.
constexpr auto HOLDER_LOOKUP_WAIT = std::chrono::seconds(2);

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

// A handle to the calling thread that its watchdog uses to cancel the
// thread's synchronous I/O; the failing call's error when there is none.
Result<unique_handle> current_thread_handle() {
    HANDLE h = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &h, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return fail(last_call_error("DuplicateHandle"));
    return unique_handle(h);
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

// One instance on the thread that serves it, with the thread's own watchdog
// for the time bounds.
class ServedInstance final : public PipeInstance {
public:
    ServedInstance(PipeServerContext& context, HANDLE instance) : context_(context), instance_(instance) {}

    Result<> prepare() override {
        Result<unique_handle> self = current_thread_handle();
        if (!self) return fail(std::move(self.error()));
        self_ = std::move(*self);
        try {
            watchdog_.emplace([handle = self_.get()] { CancelSynchronousIo(handle); });
        } catch (const std::system_error&) {
            return fail("failed to spawn thread");
        }
        return {};
    }
    // A client may connect to an instance before its thread is back in
    // ConnectNamedPipe (ERROR_PIPE_CONNECTED), and may even have closed
    // again (ERROR_NO_DATA): either is served like any client, and the
    // second one's read fails as when it closes later.
    Result<> connect() override {
        if (ConnectNamedPipe(instance_, nullptr)) return {};
        const DWORD code = GetLastError();
        if (code == ERROR_PIPE_CONNECTED || code == ERROR_NO_DATA) return {};
        return fail(call_error("ConnectNamedPipe", code));
    }
    Result<> disconnect() override {
        if (!DisconnectNamedPipe(instance_)) return fail(last_call_error("DisconnectNamedPipe"));
        return {};
    }
    PipeClientKey client() override {
        PipeClientKey key;
        ULONG id = 0;
        if (GetNamedPipeClientProcessId(instance_, &id)) key.process = id;
        if (GetNamedPipeClientSessionId(instance_, &id)) key.session = id;
        // From the client's token, never from its process id, which the
        // client itself reports. Not elevated when it cannot be read.
        std::optional<ClientStanding> standing;
        if (const Result<unique_handle> token = pipe_client_token(instance_); token) {
            if (Result<ClientStanding> read = client_standing(token->get()); read) standing = *read;
        }
        key.elevated = client_elevated(standing);
        return key;
    }
    ExchangeEnd exchange() override {
        InstanceConnection connection(instance_);
        return run_exchange(connection, *watchdog_, [this](std::string_view request) {
            PipeClient client(instance_);
            return handle_request(request, *context_.host.actions, client.control_client(*context_.host.actions));
        });
    }
    void pause() override { std::this_thread::sleep_for(ACCEPT_RETRY_DELAY); }

private:
    PipeServerContext& context_;
    const HANDLE instance_;
    unique_handle self_;
    std::optional<IoWatchdog> watchdog_;
};

// Serves instance `index` of `context` on the calling thread. Nothing
// escapes it.
void serve_on(const std::shared_ptr<PipeServerContext>& context, std::size_t index) noexcept {
    try {
        ServedInstance instance(*context, context->instances[index].get());
        serve_instance(instance, context->shares, context->host);
    } catch (const std::bad_alloc&) {
        log_message(LogLevel::error, "pipe server thread not serving: out of memory");
    }
}

// The pipe as a whole, on the server's first thread.
class ServerInstances final : public PipeInstances {
public:
    explicit ServerInstances(std::shared_ptr<PipeServerContext> context) : context_(std::move(context)) {}

    std::optional<PipeCreateError> add_instances() override {
        return add_pipe_instances(context_->name.c_str(), context_->instances);
    }
    std::size_t count() const override { return context_->instances.size(); }
    Result<> open_to_clients() override { return open_pipe_to_clients(context_->instances.front().get()); }
    std::optional<std::uint32_t> holder() override { return pipe_holder_process(context_->name.c_str()); }
    Result<> start_serving(std::size_t index) override {
        try {
            std::thread([context = context_, index] { serve_on(context, index); }).detach();
        } catch (const std::exception&) {
            // std::system_error or std::bad_alloc.
            return fail("failed to spawn thread");
        }
        return {};
    }
    void serve(std::size_t index) override { serve_on(context_, index); }
    void pause() override { std::this_thread::sleep_for(ACCEPT_RETRY_DELAY); }

private:
    std::shared_ptr<PipeServerContext> context_;
};

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

std::optional<std::uint32_t> pipe_holder_process(const wchar_t* name) {
    // Only a client end tells the server's process, and a pipe whose
    // instances are all busy (a holder serving others) has none to give at
    // once: wait a little for one, as a client would.
    const auto deadline = std::chrono::steady_clock::now() + HOLDER_LOOKUP_WAIT;
    for (;;) {
        const unique_handle client = adopt_file_handle(CreateFileW(
            name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, nullptr));
        ULONG process = 0;
        if (client) {
            if (!GetNamedPipeServerProcessId(client.get(), &process)) return std::nullopt;
            return process;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (GetLastError() != ERROR_PIPE_BUSY || left.count() <= 0) return std::nullopt;
        WaitNamedPipeW(name, static_cast<DWORD>(left.count()));
    }
}

Result<ClientStanding> client_standing(HANDLE token) {
    Result<bool> system = trust::token_enables(token, WinLocalSystemSid);
    if (!system) return fail(std::move(system.error()));
    Result<bool> administrators = trust::token_enables(token, WinBuiltinAdministratorsSid);
    if (!administrators) return fail(std::move(administrators.error()));
    return ClientStanding{*system, *administrators};
}

void serve_pipe(const wchar_t* name, PipeServerHost host) {
    std::shared_ptr<PipeServerContext> context;
    const std::shared_ptr<std::atomic<bool>> stop_requested = host.stop_requested;
    try {
        context = std::make_shared<PipeServerContext>(name, std::move(host));
        context->instances.reserve(PIPE_MAX_INSTANCES);
        ServerInstances pipe(context);
        serve_pipe_instances(pipe, context->shares, context->host);
    } catch (const std::bad_alloc&) {
        log_message(LogLevel::error, "pipe server not started: out of memory");
        stop_requested->store(true);
    }
}

void run_pipe_server(PipeServerHost host) { serve_pipe(PIPE_NAME, std::move(host)); }

}  // namespace velmor
