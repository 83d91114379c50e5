#include <gtest/gtest.h>

#include <string>

#include "base/win.hpp"
#include "velmor-ctl/pipe_client.hpp"

namespace velmor::ctl {
namespace {

// The overlapped read a server never answers is cancelled at the bound and
// read as the timed-out outcome, not as a failed read.
TEST(PipeClientExchange, ABoundEndsTheWaitForAServerThatNeverAnswers) {
    const std::wstring name = L"\\\\.\\pipe\\velmor-ctl-test-" + std::to_wstring(GetCurrentProcessId());
    const unique_handle server = adopt_file_handle(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(server) << GetLastError();
    const unique_handle client = adopt_file_handle(CreateFileW(
        name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(client) << GetLastError();
    const Result<std::string> reply = exchange_on(client.get(), "{\"action\":\"ping\"}\n", std::chrono::milliseconds(300),
                                                  [] { return std::string("; see the log"); });
    ASSERT_FALSE(reply.has_value()) << *reply;
    EXPECT_EQ(reply.error().one_line(), "velmor-helper did not reply within 1 s; see the log");
}

}  // namespace
}  // namespace velmor::ctl
