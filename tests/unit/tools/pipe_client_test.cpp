#include "velmor-ctl/pipe_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace velmor::ctl {
namespace {

// Whom velmor-ctl sends to: the service's own process only (any helper with
// --console); a failed query of the service manager refuses as well.
TEST(PipeClient, OnlyTheServiceGetsTheRequest) {
    using Service = Result<std::optional<std::uint32_t>>;
    HelperIdentity server;
    server.process = 9;
    const std::string next = "; nothing was sent: for a helper in console mode, run `velmor-ctl --console stop`";
    const std::string served = "\\\\.\\pipe\\velmor-helper is served by process 9 (C:\\h\\VELMOR-helper.exe)";
    struct Case {
        Service service;
        bool console;
        const char* refusal;  // none: allowed
        std::string text = {};
        std::string image = "C:\\h\\VELMOR-helper.exe";
    };
    const std::vector<Case> cases = {
        {std::optional<std::uint32_t>(9), false, nullptr},
        {fail("OpenSCManagerW failed: 5"), true, nullptr},
        {std::optional<std::uint32_t>(), true, nullptr},
        {fail("OpenSCManagerW failed: 5"), false, "query",
         "cannot query the velmor-helper service to check who serves \\\\.\\pipe\\velmor-helper; nothing was sent: "
         "OpenSCManagerW failed: 5"},
        {std::optional<std::uint32_t>(), false, "not installed",
         "the velmor-helper service is not installed, yet " + served + next},
        {std::optional<std::uint32_t>(0), false, "not running",
         "the velmor-helper service is not running, yet " + served + next},
        {std::optional<std::uint32_t>(0), false, "a program that is no helper",
         "the velmor-helper service is not running, yet \\\\.\\pipe\\velmor-helper is served by process 9 "
         "(C:\\tmp\\velmor-helper.exe.bat); nothing was sent: that program is not velmor-helper.exe",
         "C:\\tmp\\velmor-helper.exe.bat"},
        {std::optional<std::uint32_t>(0), false, "unreadable",
         "the velmor-helper service is not running, yet \\\\.\\pipe\\velmor-helper is served by process 9; "
         "nothing was sent (for a helper in console mode, use --console)",
         ""},
        {std::optional<std::uint32_t>(5), false, "a stranger beside the service",
         served + ", not by the velmor-helper service (process 5); nothing was sent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusal ? c.refusal : "allowed");
        server.image = c.image;
        const Result<> checked = check_server(c.service, server, c.console, "stop");
        ASSERT_EQ(checked.has_value(), c.refusal == nullptr);
        if (c.refusal) {
            EXPECT_EQ(checked.error().message(), c.text);
        }
    }
}

// A connection dropped before any byte was taken keeps the system code, so
// the request may be sent again.
TEST(PipeClient, ExchangeTellsEachEndApart) {
    struct Row {
        const char* label;
        std::vector<IoDone> writes, reads;
        std::vector<std::string> read_bytes;
        std::string outcome;  // the reply, or the error's line
        std::optional<std::uint32_t> code = std::nullopt;
    };
    const IoDone sent{true, 0, 7};
    const Row rows[] = {
        {"reply in pieces", {sent}, {{false, pipe_code::MORE_DATA, 3}, {true, 0, 2}}, {"{\"a", "}\n"}, "{\"a}\n"},
        {"dropped at once", {{false, pipe_code::NO_DATA}}, {}, {},
         "velmor-helper ended the connection before the whole request was sent (os error 232)", pipe_code::NO_DATA},
        {"dropped mid-request", {{true, 0, 3}, {false, pipe_code::NO_DATA}}, {}, {},
         "velmor-helper ended the connection before the whole request was sent (os error 232)"},
        {"cut reply", {sent}, {{true, 0, 2}, {false, pipe_code::BROKEN_PIPE}}, {"{\"", ""},
         "velmor-helper ended the connection in the middle of its reply (os error 109); log"},
        {"bound", {sent}, {{false, 1460, 0, true}}, {""}, "velmor-helper did not reply within 2 s; log"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        std::size_t writes = 0, reads = 0;
        const ExchangeCalls calls{[&](std::string_view) { return row.writes.at(writes++); },
                                  [&](char* buffer, std::uint32_t) {
                                      std::ranges::copy(row.read_bytes.at(reads), buffer);
                                      return row.reads.at(reads++);
                                  }};
        const Result<std::string> got =
            exchange_over(calls, "request", std::chrono::milliseconds(1500), [] { return std::string("; log"); });
        EXPECT_EQ(got ? *got : got.error().one_line(), row.outcome);
        EXPECT_EQ(got ? std::nullopt : got.error().system_code(), row.code);
    }
}

TEST(PipeClient, OpenWaitsOnlyForAnAbsentOrBusyPipe) {
    using namespace std::chrono_literals;
    const auto hint = [] { return std::string("start it"); };
    EXPECT_EQ(after_open_failure(pipe_code::FILE_NOT_FOUND, 1900ms, hint).step, OpenRetry::wait_absent);
    EXPECT_EQ(after_open_failure(pipe_code::FILE_NOT_FOUND, 2s, hint).error->one_line(),
              "velmor-helper is not running: no \\\\.\\pipe\\velmor-helper; start it");
    EXPECT_EQ(after_open_failure(pipe_code::PIPE_BUSY, 9s, hint).step, OpenRetry::wait_busy);
    EXPECT_EQ(after_open_failure(pipe_code::PIPE_BUSY, 10s, hint).step, OpenRetry::give_up);
    EXPECT_EQ(after_open_failure(pipe_code::ACCESS_DENIED, 0s, hint).step, OpenRetry::give_up);
}

TEST(PipeClient, StartSendsNothingButUtf8) {
    CtlCommand command;
    command.verb = Verb::Start, command.value = "c";
    const Result<std::string> got = command_request(command, [](const std::string&) { return std::string("\xEF\xBB\xBF" "a\xFF"); });
    ASSERT_FALSE(got.has_value()) << *got;
    EXPECT_EQ(got.error().one_line(),
              "c is not UTF-8 text: invalid utf-8 sequence of 1 bytes from index 1; save it as UTF-8; nothing was sent");
}

}  // namespace
}  // namespace velmor::ctl
