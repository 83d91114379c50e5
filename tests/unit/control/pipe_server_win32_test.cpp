#include "control/pipe_server_win32.hpp"

#include <gtest/gtest.h>
// After <windows.h>:
#include <sddl.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "control/pipe_request.hpp"
#include "support/access_check_win32.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

std::wstring test_pipe_name(const wchar_t* suffix) {
    return L"\\\\.\\pipe\\velmor-unit-" + std::to_wstring(GetCurrentProcessId()) + L"-" + suffix;
}

TEST(PipeSecurity, InstancesAreLocalMessagePipesAndTheFirstClaimsTheName) {
    EXPECT_EQ(PIPE_MODE & PIPE_REJECT_REMOTE_CLIENTS, static_cast<DWORD>(PIPE_REJECT_REMOTE_CLIENTS));
    EXPECT_EQ(pipe_open_mode(true), static_cast<DWORD>(PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE));
    EXPECT_EQ(pipe_open_mode(false), static_cast<DWORD>(PIPE_ACCESS_DUPLEX));

    const std::wstring name = test_pipe_name(L"instance");
    Result<unique_handle> first = create_pipe_instance(name.c_str(), true);
    ASSERT_TRUE(first) << first.error().full_description();

    DWORD flags = 0, out_size = 0, in_size = 0, max_instances = 0;
    ASSERT_TRUE(GetNamedPipeInfo(first->get(), &flags, &out_size, &in_size, &max_instances));
    EXPECT_EQ(flags, static_cast<DWORD>(PIPE_SERVER_END | PIPE_TYPE_MESSAGE));
    EXPECT_EQ(max_instances, PIPE_MAX_INSTANCES);

    // A successor joins the server's own pipe.
    Result<unique_handle> successor = create_pipe_instance(name.c_str(), false);
    ASSERT_TRUE(successor) << successor.error().full_description();

    // Claiming the name again as a first instance must fail while it exists.
    Result<unique_handle> claim = create_pipe_instance(name.c_str(), true);
    if (claim && access::running_under_wine())
        GTEST_SKIP() << "Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE on a pipe that allows several instances";
    ASSERT_FALSE(claim);
    EXPECT_EQ(claim.error().message(), "CreateNamedPipeW failed: 5");
}

// A raw client of a test pipe: connect, one message, and the reply (empty
// when the server ended the connection instead).
class TestClient {
public:
    static std::optional<TestClient> connect(const std::wstring& name) {
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            last_error_ = GetLastError();
            return std::nullopt;
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
        return TestClient(h);
    }
    static DWORD last_error() { return last_error_; }

    // Writes `bytes` as one message without waiting for a reply.
    bool send(const std::string& bytes) {
        DWORD n = 0;
        return WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) != FALSE;
    }

    std::string ask(const std::string& request) {
        DWORD n = 0;
        if (!WriteFile(pipe_.get(), request.data(), static_cast<DWORD>(request.size()), &n, nullptr)) return {};
        std::string reply(4096, '\0');
        if (!ReadFile(pipe_.get(), reply.data(), static_cast<DWORD>(reply.size()), &n, nullptr)) return {};
        reply.resize(n);
        return reply;
    }

private:
    explicit TestClient(HANDLE h) : pipe_(h) {}
    unique_handle pipe_;
    static inline DWORD last_error_ = 0;
};

// The server on a pipe of the test's own. Three stalled clients hold three
// instances while a fourth client is served. An allocation failure while gathering ends that one
// exchange without a reply, and the next client is served.
TEST(PipeServer, ServesBesideSilentClientsAndSurvivesAnAllocationFailure) {
    static const std::wstring name = test_pipe_name(L"server");
    auto actions = std::make_shared<ActionContext>(std::make_shared<CoreShared>());
    auto stop = std::make_shared<std::atomic<bool>>(false);
    std::thread(serve_pipe, name.c_str(), actions, stop).detach();

    const std::string ping = "{\"id\":\"p\",\"action\":\"ping\"}\n";
    const std::string pong = "{\"id\":\"p\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n";
    // Waits until the server's threads have made their instances.
    auto connect = [&]() -> std::optional<TestClient> {
        for (int i = 0; i < 500; ++i) {
            if (auto c = TestClient::connect(name)) return c;
            Sleep(10);
        }
        return std::nullopt;
    };
    std::vector<TestClient> silent;
    // Each begins a request, so that the short bound for clients that send
    // nothing does not let it go during the test.
    for (int i = 0; i < 3; ++i) {
        std::optional<TestClient> c = connect();
        ASSERT_TRUE(c) << TestClient::last_error();
        ASSERT_TRUE(c->send("{"));
        silent.push_back(std::move(*c));
    }
    {
        std::optional<TestClient> fourth = connect();
        ASSERT_TRUE(fourth);
        EXPECT_EQ(fourth->ask(ping), pong);
    }
    silent.clear();

    testing::LogCapture log;
    detail::fail_request_allocations_for_testing(1);
    {
        std::optional<TestClient> dropped = connect();
        ASSERT_TRUE(dropped);
        EXPECT_EQ(dropped->ask(ping), "");
    }
    detail::fail_request_allocations_for_testing(0);
    EXPECT_TRUE(testing::wait_for([&] { return log.contains("pipe handle error: request dropped: out of memory"); }));
    {
        std::optional<TestClient> next = connect();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->ask(ping), pong);
    }

    // Each of the threads finds the flag after its next client.
    stop->store(true);
    for (DWORD i = 0; i < PIPE_MAX_INSTANCES; ++i) {
        if (std::optional<TestClient> c = connect()) c->ask(ping);
    }
}

}  // namespace
}  // namespace velmor
