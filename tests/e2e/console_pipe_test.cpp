// The helper in console mode, end to end: the real velmor-helper.exe in a
// folder of the test's own, clients on \\.\pipe\velmor-helper, and its log.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

namespace velmor::e2e {
namespace {

constexpr std::string_view PING_REPLY = "{\"id\":\"7\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n";

class ConsolePipe : public ::testing::Test {
protected:
    void SetUp() override {
        helper_.emplace(test_folder());
        ASSERT_TRUE(helper_->start_console());
    }
    void TearDown() override { helper_.reset(); }

    HelperProcess& helper() { return *helper_; }

    // The log lines of the pipe server, whatever the timestamps.
    std::string log() const { return helper_->log(); }

    void expect_served(std::string_view id) {
        EXPECT_EQ(exchange(request(id, "ping")).bytes, ping_reply(id));
    }

private:
    std::optional<HelperProcess> helper_;
};

TEST_F(ConsolePipe, PingGetsTheExactReplyEvenWhenReadLate) {
    std::optional<PipeClient> client = PipeClient::connect();
    ASSERT_TRUE(client);
    ASSERT_EQ(client->write("{\"id\":\"7\",\"action\":\"ping\"}\n"), 0u);
    // The reply waits for a client that reads only after a while.
    Sleep(500);
    const ReadOutcome reply = client->read_reply();
    EXPECT_TRUE(reply.line());
    EXPECT_EQ(reply.bytes, PING_REPLY);
    EXPECT_EQ(reply.bytes.size(), 55u);
    // One reply per connection: then the server lets go.
    const ReadOutcome after = client->read_reply(5s);
    EXPECT_TRUE(after.bytes.empty());
    EXPECT_NE(after.error, 0u);
    EXPECT_NE(after.error, static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(exchange("{\"action\":\"ping\"}\n").bytes,
              "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n");
    // A successful exchange writes nothing to the log.
    EXPECT_EQ(helper().log_count("pipe "), 0u) << log();
}

TEST_F(ConsolePipe, StatusOfAFreshRecordAndUnknownActions) {
    EXPECT_EQ(exchange("{\"id\":\"s\",\"action\":\"status\"}\n").bytes,
              "{\"id\":\"s\",\"ok\":true,\"error\":null,\"data\":{\"error\":null,\"running\":false,\"status\":"
              "\"stopped\"}}\n");
    struct Case {
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {"{\"id\":\"u\",\"action\":\"PING\"}\n", "{\"id\":\"u\",\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
        {"{\"id\":\"\",\"action\":\" ping\"}\n", "{\"id\":\"\",\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
        {"{\"action\":null}\n", "{\"id\":null,\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
        {"{}\n", "{\"id\":null,\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(exchange(c.request).bytes, c.reply);
    }
}

TEST_F(ConsolePipe, InvalidRequestsGetNoReplyAndLogTheirCause) {
    struct Case {
        const char* label;
        std::string request;
        std::string logged;  // what the log line holds after "pipe handle error: "
    };
    const Case cases[] = {
        {"number id", "{\"id\":5,\"action\":\"ping\"}\n",
         "invalid request: {\"id\":5,\"action\":\"ping\"}\n\nCaused by:\n    "},
        {"repeated member", "{\"action\":\"ping\",\"action\":\"ping\"}\n",
         "invalid request: {\"action\":\"ping\",\"action\":\"ping\"}\n\nCaused by:\n    "},
        {"empty line", "\n", "invalid request: \n\nCaused by:\n    "},
        {"invalid UTF-8", "{\"id\":\"\xff\",\"action\":\"ping\"}\n", ""},
    };
    std::size_t errors = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const ReadOutcome reply = exchange(c.request);
        EXPECT_TRUE(reply.bytes.empty()) << reply.bytes;
        EXPECT_NE(reply.error, 0u);
        ++errors;
        EXPECT_TRUE(helper().wait_for_log("] pipe handle error: " + c.logged)) << log();
        EXPECT_TRUE(wait_until([&] { return helper().log_count("pipe handle error: ") == errors; })) << log();
    }
    expect_served("after");
}

TEST_F(ConsolePipe, ClientClosingWithoutWritingCausesOneReadFailure) {
    {
        std::optional<PipeClient> client = PipeClient::connect();
        ASSERT_TRUE(client);
    }
    EXPECT_TRUE(helper().wait_for_log("] pipe handle error: ReadFile failed: 109\n")) << log();
    expect_served("next");
    EXPECT_EQ(helper().log_count("pipe handle error: "), 1u) << log();
    EXPECT_EQ(helper().log_count("pipe accept error: "), 0u) << log();
}

TEST_F(ConsolePipe, RequestsArriveInAnyFraming) {
    struct Case {
        const char* label;
        std::vector<std::string> messages;
        const char* id;
    };
    const std::string mebibyte(1024 * 1024, 'x');
    const Case cases[] = {
        {"several writes", {"{\"id\":\"a\",", "\"action\":", "\"ping\"}", "\n"}, "a"},
        {"1 MiB in one message", {"{\"id\":\"big\",\"action\":\"ping\",\"pad\":\"" + mebibyte + "\"}\n"}, "big"},
        {"zero-byte message as terminator", {"{\"id\":\"z\",\"action\":\"ping\"}", ""}, "z"},
        {"CR LF", {"{\"id\":\"c\",\"action\":\"ping\"}\r\n"}, "c"},
        {"second line ignored", {"{\"id\":\"1\",\"action\":\"ping\"}\n{\"id\":\"2\",\"action\":\"ping\"}\n"}, "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::optional<PipeClient> client = PipeClient::connect();
        ASSERT_TRUE(client);
        for (const std::string& m : c.messages) ASSERT_EQ(client->write(m), 0u);
        const ReadOutcome reply = client->read_reply();
        EXPECT_EQ(reply.bytes, "{\"id\":\"" + std::string(c.id) + "\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n");
    }
    EXPECT_EQ(helper().log_count("pipe "), 0u) << log();
}

TEST_F(ConsolePipe, SilentClientsHoldNobodyElseAndAreDroppedAfterTheBound) {
    // A client that sends nothing is let go after the short bound.
    std::optional<PipeClient> mute = PipeClient::connect();
    ASSERT_TRUE(mute);
    EXPECT_TRUE(helper().wait_for_log("] pipe handle error: no request within 1 s\n")) << log();
    EXPECT_TRUE(mute->read_reply(5s).bytes.empty());
    mute.reset();

    // Three clients that have begun a request and stall: a fourth is served
    // at once, well before any bound.
    std::vector<PipeClient> silent;
    for (int i = 0; i < 3; ++i) {
        std::optional<PipeClient> client = PipeClient::connect();
        ASSERT_TRUE(client);
        ASSERT_EQ(client->write("{"), 0u);
        silent.push_back(std::move(*client));
    }
    const ReadOutcome beside = exchange("{\"id\":\"b\",\"action\":\"ping\"}\n", 5s);
    EXPECT_EQ(beside.bytes, "{\"id\":\"b\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n");
    EXPECT_EQ(helper().log_count("pipe "), 1u) << log();

    // Four stalled clients of this process are its share of the pipe: a
    // fifth is dropped at once, long before any bound (which of the last two
    // it is, the server's threads decide), and the next is served once the
    // bound lets one of the four go.
    for (int i = 0; i < 2; ++i) {
        std::optional<PipeClient> client = PipeClient::connect();
        ASSERT_TRUE(client);
        client->write("{");  // fails on the one already dropped
        silent.push_back(std::move(*client));
    }
    EXPECT_TRUE(helper().wait_for_log("] pipe handle error: connection dropped: process " +
                                      std::to_string(GetCurrentProcessId()) + " holds its share of the pipe\n"))
        << log();
    EXPECT_EQ(helper().log_count("request not completed"), 0u) << log();
    EXPECT_TRUE(helper().wait_for_log("request not completed within 10 s")) << log();
    std::optional<PipeClient> next = PipeClient::connect();
    ASSERT_TRUE(next);
    ASSERT_EQ(next->write("{\"id\":\"n\",\"action\":\"ping\"}\n"), 0u);
    EXPECT_EQ(next->read_reply().bytes, "{\"id\":\"n\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n");

    for (PipeClient& client : silent) {
        const ReadOutcome dropped = client.read_reply(5s);
        EXPECT_TRUE(dropped.bytes.empty());
        EXPECT_NE(dropped.error, static_cast<DWORD>(WAIT_TIMEOUT));
    }
    EXPECT_TRUE(wait_until([&] {
        return helper().log_count("] pipe handle error: request not completed within 10 s\n") == 4u;
    })) << log();
}

TEST_F(ConsolePipe, ClientThatNeverReadsItsReplyIsLetGo) {
    std::optional<PipeClient> deaf = PipeClient::connect();
    ASSERT_TRUE(deaf);
    ASSERT_EQ(deaf->write("{\"id\":\"d\",\"action\":\"ping\"}\n"), 0u);
    // Served beside the deaf client, which is given up after the bound.
    expect_served("after");
    EXPECT_TRUE(helper().wait_for_log("] pipe handle error: reply not read within 5 s\n")) << log();
    expect_served("later");
    EXPECT_EQ(helper().log_count("] pipe handle error: reply not read within 5 s\n"), 1u) << log();
}

TEST_F(ConsolePipe, OversizeRequestIsDroppedWithoutReply) {
    std::optional<PipeClient> client = PipeClient::connect();
    ASSERT_TRUE(client);
    const std::string huge(std::size_t{33} * 1024 * 1024, 'x');
    client->write(huge);  // ends with an error when the server lets go first
    const ReadOutcome reply = client->read_reply();
    EXPECT_TRUE(reply.bytes.empty());
    EXPECT_NE(reply.error, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(helper().wait_for_log("] pipe handle error: request larger than 33554432 bytes\n")) << log();
    expect_served("next");
}

TEST_F(ConsolePipe, NameIsNeverFreeAndOthersCannotAddInstances) {
    // A prober asks for the pipe without connecting: "not found" would mean
    // that nobody holds the name at that instant, so anyone could take it.
    // The helper says it runs before its pipe exists: the prober starts once
    // a client has been served.
    expect_served("first");
    std::atomic<bool> done{false};
    std::atomic<int> probes{0}, free_seen{0};
    std::thread prober([&] {
        while (!done.load()) {
            if (!WaitNamedPipeW(HELPER_PIPE, 1) && GetLastError() == ERROR_FILE_NOT_FOUND) ++free_seen;
            ++probes;
        }
    });
    for (int i = 0; i < 40; ++i) expect_served("n" + std::to_string(i));
    done = true;
    prober.join();
    EXPECT_GT(probes.load(), 0);
    EXPECT_EQ(free_seen.load(), 0) << "the name was free between two clients";

    // Another process (this one) trying to create an instance of the pipe:
    // the DACL lets every user do that, but the server holds all eight
    // instances there may be.
    HANDLE intruder = CreateNamedPipeW(HELPER_PIPE, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 4,
                                       65536, 65536, 0, nullptr);
    const DWORD code = intruder == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (intruder != INVALID_HANDLE_VALUE) {
        CloseHandle(intruder);
        FAIL() << "another process added an instance to the helper's pipe";
    }
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_PIPE_BUSY));
}

// Someone creates the helper's pipe before the helper starts: the console
// helper never joins it and ends at once with status 1, naming the holder
// and what to do, with no log file made. With one instance even Wine refuses the helper an instance;
// with four, only the first-instance flag does, which Wine ignores: there the
// helper joins, cannot make its eight instances, and ends without opening
// the pipe to anyone. (The service keeps trying instead: a unit test.)
TEST(ConsoleRoles, NameTakenBeforeStartEndsConsoleModeNamingTheHolder) {
    const std::string reported = "pipe name taken by process " + std::to_string(GetCurrentProcessId()) +
                                 ": CreateNamedPipeW failed: ";
    for (const DWORD instances : {1u, 4u}) {
        SCOPED_TRACE(instances);
        unique_handle squatter(CreateNamedPipeW(HELPER_PIPE, PIPE_ACCESS_DUPLEX,
                                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, instances, 65536, 65536, 0,
                                                nullptr));
        ASSERT_NE(squatter.get(), INVALID_HANDLE_VALUE);
        HelperProcess helper(test_folder() / std::to_wstring(instances));
        ASSERT_TRUE(helper.start());
        const std::optional<DWORD> code = helper.wait_exit(GENEROUS);
        ASSERT_TRUE(code) << helper.log();
        EXPECT_EQ(*code, 1u);
        const std::string err = helper.standard_error();
        if (under_wine() && instances > 1 && err.find(reported) == std::string::npos) {
            EXPECT_NE(err.find("Error: pipe not served: not every instance could be made"), std::string::npos) << err;
            std::printf("not shown: Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE on a pipe of several instances\n");
            continue;
        }
        EXPECT_NE(err.find("Error: " + reported), std::string::npos) << err;
        EXPECT_NE(err.find("; end that process first\n"), std::string::npos) << err;
        // Said on standard error alone: a helper that does not hold the
        // name writes nothing to a log that may be the holder's.
        EXPECT_NE(err.find("] ERROR: " + reported), std::string::npos) << err;
        EXPECT_FALSE(std::filesystem::exists(helper.log_path())) << helper.log();
    }
}

TEST(ConsoleRoles, FailingRoleReportsOnStandardErrorWithStatusOne) {
    const std::filesystem::path folder = test_folder();
    HelperProcess helper(folder);
    // No argument: service mode, which fails when run from a prompt.
    ASSERT_TRUE(helper.start(L""));
    const std::optional<DWORD> code = helper.wait_exit(60s);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 1u);
    const std::string err = helper.standard_error();
    EXPECT_TRUE(err.starts_with("Error: ")) << err;
    EXPECT_TRUE(err.ends_with("\n") && !err.ends_with("\r\n")) << err;
    EXPECT_EQ(err.find("running in console mode"), std::string::npos) << err;
}

TEST(ConsoleRoles, ConsoleEchoesItsLogOnStandardError) {
    HelperProcess helper(test_folder());
    if (!under_wine()) {
        ASSERT_TRUE(helper.start_console());
    } else {
        // Wine's ReportEventW keeps nothing but traces its strings on a debug
        // channel that only the Unix environment turns on: started from a
        // Unix shell, ended below through the pipe server's process id.
        std::string folder = narrow(helper.folder().native()).substr(2);  // without "Z:"
        std::replace(folder.begin(), folder.end(), '\\', '/');
        std::wstring line = widen("Z:\\bin\\sh -c \"cd '" + folder + "' && exec env WINEDEBUG=-all,trace+eventlog "
                                  "wine velmor-helper.exe console >/dev/null 2>stderr.txt\"");
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION shell{};
        ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &shell));
        const unique_handle shell_process(shell.hProcess), shell_thread(shell.hThread);
    }
    ULONG server = 0;
    {
        std::optional<PipeClient> client = PipeClient::connect();
        ASSERT_TRUE(client && GetNamedPipeServerProcessId(client->handle(), &server)) << helper.standard_error();
    }
    const unique_handle process(under_wine() ? OpenProcess(PROCESS_TERMINATE, FALSE, server) : nullptr);
    const std::string version =
        "console mode: version " VELMOR_VERSION ", process " + std::to_string(server) + ", data folder ";
    EXPECT_TRUE(wait_until([&] {
        const std::string err = helper.standard_error();
        const std::size_t running = err.find("] running in console mode\n[");
        return running != std::string::npos && err.find("] " + version, running) != std::string::npos;
    })) << helper.standard_error();
    EXPECT_EQ(helper.standard_error().find(":eventlog:ReportEventW L\"" + version) != std::string::npos, under_wine())
        << helper.standard_error();
    EXPECT_TRUE(helper.log().starts_with("[SystemTime { intervals: ")) << helper.log();
    if (process) TerminateProcess(process.get(), 1);
}

class ControlTool : public ConsolePipe {
protected:
    ProgramOutcome ctl(const std::wstring& arguments) {
        return run_program(program_dir() / L"velmor-ctl.exe", arguments, helper().folder());
    }
};

TEST_F(ControlTool, PrintsTheReplyAndExitsByItsOutcome) {
    // A copy of the helper of its own, to show that --version and --help
    // write no log.
    const std::filesystem::path alone = helper().folder() / L"alone";
    std::filesystem::create_directories(alone);
    std::filesystem::copy_file(helper().exe(), alone / L"velmor-helper.exe");
    const std::string helper_usage = "usage: velmor-helper.exe [install | uninstall | console | --version | --help]\n";
    const std::string version = "velmor-helper " VELMOR_VERSION "\n";
    write_file(helper().folder() / L"cut.log", "a line cut short");
    struct Case {
        const wchar_t* arguments;
        DWORD exit_code;
        std::string out;  // what standard output starts with
        const char* err;  // what standard error starts with; a failure is one line
        bool of_helper = false;  // run velmor-helper.exe, not velmor-ctl.exe
    };
    const Case cases[] = {
        {L"--console ping", 0, "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n", ""},
        // Which helper answers: its process, version and start time.
        {L"--console status", 0,
         "core stopped\nhelper process " + std::to_string(helper().process_id()) + ", version " VELMOR_VERSION
         ", started 20",
         ""},
        {L"--console stop", 0, "core stopped\n", ""},
        {L"--console stop --json", 0, "{\"id\":null,\"ok\":true,\"error\":null,\"data\":null}\n", ""},
        {L"--console status --json", 0,
         "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"error\":null,\"running\":false,\"status\":\"stopped\"}}\n",
         ""},
        {LR"(--console send "{\"id\":\"q\",\"action\":\"nope\"}")", 1,
         "{\"id\":\"q\",\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n", ""},
        {LR"(--console send "{")", 2, "", "velmor-ctl: velmor-helper ended the connection without a reply (os error "},
        {L"--console start no-such-file.json", 2, "", "velmor-ctl: cannot open no-such-file.json: "},
        {L"", 2, "", "velmor-ctl: no command given; usage: velmor-ctl [--console] "},
        {L"pong", 2, "", "velmor-ctl: unknown command \"pong\"; usage: velmor-ctl [--console] "},
        // The command line's other refusals are rows of its native table.
        {L"-x", 2, "", "velmor-ctl: unknown option \"-x\"; usage: velmor-ctl [--console] "},
        {L"log --help", 0, "usage: velmor-ctl [--console] ", ""},
        {L"log no-such.log", 2, "", "velmor-ctl: cannot open no-such.log"},
        {L"log cut.log", 0, "a line cut short\n", ""},
        {L"--help", 0,
         "usage: velmor-ctl [--console] ping | status [--json] | stop | start FILE | send LINE | log [FILE] [OPTIONS]\n",
         ""},
        {L"--version", 0, version, ""},
        {L"--version", 0, version, "", true},
        {L"--help", 0, helper_usage, "", true},
        {L"-h", 0, helper_usage, "", true},
        {L"/?", 0, helper_usage, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.arguments) + (c.of_helper ? " (velmor-helper.exe)" : ""));
        const ProgramOutcome outcome =
            c.of_helper ? run_program(alone / L"velmor-helper.exe", c.arguments, alone) : ctl(c.arguments);
        EXPECT_EQ(outcome.exit_code, c.exit_code) << outcome.err;
        EXPECT_TRUE(outcome.out.starts_with(c.out)) << outcome.out;
        if (c.out.empty()) {
            EXPECT_EQ(outcome.out, "");
        }
        EXPECT_TRUE(outcome.err.starts_with(c.err)) << outcome.err;
        if (c.err[0] == '\0') {
            EXPECT_EQ(outcome.err, "");
        } else {
            EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(alone / L"velmor-helper.log"));
    // The connection ended without a reply: the message says where the log is.
    EXPECT_TRUE(ctl(LR"(--console send "{")").err.ends_with("; the helper's log says why: " +
                                                           narrow(helper().log_path().native()) + "\n"));
}

TEST_F(ControlTool, WithoutConsoleAHelperThatIsNotTheServiceGetsNothing) {
    const ProgramOutcome outcome = ctl(L"stop");
    EXPECT_EQ(outcome.exit_code, 2u);
    EXPECT_EQ(outcome.out, "");
    // No service here (or not this one): the helper in console mode counts as
    // a stranger on the name.
    // The refusal names the server's executable and the next step.
    const std::string served = "yet \\\\.\\pipe\\velmor-helper is served by process " +
                               std::to_string(helper().process_id()) + " (";
    EXPECT_TRUE(outcome.err.starts_with("velmor-ctl: the velmor-helper service is not ")) << outcome.err;
    EXPECT_NE(outcome.err.find(served), std::string::npos) << outcome.err;
    EXPECT_TRUE(outcome.err.ends_with("velmor-helper.exe); nothing was sent: for a helper in console mode, run "
                                      "`velmor-ctl --console stop`\n"))
        << outcome.err;
    // The helper saw a client that connected and left without a byte.
    EXPECT_TRUE(helper().wait_for_log("] pipe handle error: ReadFile failed: 109\n")) << log();
    EXPECT_EQ(helper().log_count("pipe handle error: "), 1u) << log();
}

TEST(ControlToolAlone, NoPipeMeansTheHelperIsNotRunning) {
    const std::filesystem::path folder = test_folder();
    struct Case {
        const wchar_t* arguments;
        const char* err;
    };
    const Case cases[] = {
        // No service in this test's machine (or prefix).
        {L"ping", "velmor-ctl: velmor-helper is not running: no \\\\.\\pipe\\velmor-helper; the service is not "
                  "installed: install it with `velmor-helper.exe install` from an elevated prompt, or deploy the MSI\n"},
        {L"--console status", "velmor-ctl: velmor-helper is not running: no \\\\.\\pipe\\velmor-helper; start one with "
                              "`velmor-helper.exe console` (from a source tree: scripts/run)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.arguments));
        const ProgramOutcome outcome = run_program(program_dir() / L"velmor-ctl.exe", c.arguments, folder);
        EXPECT_EQ(outcome.exit_code, 2u);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, c.err);
    }
}

TEST_F(ControlTool, StartSendsTheFileAsTheConfiguration) {
    const std::filesystem::path config = helper().folder() / L"config.json";
    // As written by hand, and as Notepad saves UTF-8: with a byte-order mark.
    for (const std::string bom : {"", "\xEF\xBB\xBF"}) {
        SCOPED_TRACE(bom.empty() ? "without a byte-order mark" : "with a byte-order mark");
        write_file(config, bom + "{\"mode\": \"rule\",\n \"name\": \"\xc3\xa9t\xc3\xa9\"}\n");
        // With --json, the reply as received.
        const ProgramOutcome outcome = ctl(L"--console start config.json --json");
        // Whatever the core does with it, the request was a valid one with a reply.
        EXPECT_TRUE(outcome.exit_code == 0 || outcome.exit_code == 1) << outcome.exit_code << outcome.err;
        EXPECT_TRUE(outcome.out.starts_with("{\"id\":null,\"ok\":")) << outcome.out;
        EXPECT_EQ(outcome.out.find("config is not valid JSON"), std::string::npos) << outcome.out;
        EXPECT_EQ(helper().log().find("invalid request"), std::string::npos) << helper().log();
    }
}

// The helper's log as velmor-ctl prints it: the lines of the file, with ISO
// times for the intervals, also as they are written (--follow).
TEST_F(ControlTool, LogPrintsTheHelpersLinesWithIsoTimes) {
    const std::wstring log = L"log \"" + helper().log_path().native() + L"\"";
    const ProgramOutcome all = ctl(log);
    EXPECT_EQ(all.exit_code, 0u) << all.err;
    EXPECT_NE(all.out.find("Z] running in console mode\n"), std::string::npos) << all.out;
    EXPECT_EQ(all.out.find("SystemTime"), std::string::npos) << all.out;
    EXPECT_EQ(count_of(all.out, "\n"), count_of(helper().log(), "\n")) << all.out;
    EXPECT_EQ(all.out.substr(0, 3), "[20") << all.out;
    EXPECT_EQ(all.out.substr(28, 3), "Z] ") << all.out;  // [YYYY-MM-DDTHH:MM:SS.fffffffZ]
    const ProgramOutcome none = ctl(log + L" --since 9999-12-31");
    EXPECT_EQ(none.exit_code, 0u) << none.err;
    EXPECT_EQ(none.out, "");

    // Followed: a line the helper writes later is printed as it comes.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const std::filesystem::path followed = helper().folder() / L"followed.txt";
    const unique_handle out = adopt_file_handle(
        CreateFileW(followed.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(out);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = out.get();
    const std::filesystem::path exe = program_dir() / L"velmor-ctl.exe";
    std::wstring line = L"\"" + exe.native() + L"\" " + log + L" --follow";
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &pi))
        << GetLastError();
    const unique_handle process(pi.hProcess), thread(pi.hThread);
    EXPECT_TRUE(wait_until([&] { return read_file(followed).find("running in console mode") != std::string::npos; }))
        << read_file(followed);
    ASSERT_EQ(ctl(LR"(--console send "{")").exit_code, 2u);
    EXPECT_TRUE(wait_until([&] { return read_file(followed).find("Z] pipe handle error: ") != std::string::npos; }))
        << read_file(followed) << helper().log();
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "--follow ended by itself";
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 10'000);
}

// The support bundle beside a running core: every part, no configuration
// text in any, and never into a folder that holds anything.
TEST(ControlToolDiag, BundleHasEveryPartAndNoConfiguration) {
    HelperProcess helper(test_folder());
    ASSERT_TRUE(helper.place_fake_core());
    ASSERT_TRUE(helper.start_console());
    const std::string marker = "diag-marker-5e1d";
    write_file(helper.folder() / L"config.json", "{\"mode\":\"run\",\"name\":\"" + marker + "\"}");
    const auto ctl = [&](const std::wstring& arguments) {
        return run_program(program_dir() / L"velmor-ctl.exe", arguments, helper.folder());
    };
    ASSERT_EQ(ctl(L"--console start config.json").exit_code, 0u);
    EXPECT_EQ(ctl(L"--console diag bundle").exit_code, 0u);
    const std::filesystem::path bundle = helper.folder() / L"bundle";
    const char* files[] = {"README.txt", "versions.txt", "service.txt", "settings.txt", "folders.txt",
                           "status.txt", "velmor-helper.log.txt", "velmor-helper.log.1.txt", "events.txt"};
    for (const char* file : files) EXPECT_TRUE(std::filesystem::is_regular_file(bundle / file)) << file;
    std::size_t found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(bundle)) {
        ++found;
        EXPECT_EQ(read_file(entry.path()).find(marker), std::string::npos) << narrow(entry.path().native());
    }
    EXPECT_EQ(found, std::size(files));
    // The configuration was there to be copied: the core wrote it down.
    const std::filesystem::path data = helper.folder() / L"ProgramData" / L"Velmor" / L"service";
    EXPECT_NE(read_file(data / L"fake-core-config.txt").find(marker), std::string::npos);

    const ProgramOutcome again = ctl(L"--console diag bundle");
    EXPECT_EQ(again.exit_code, 1u);
    EXPECT_TRUE(again.err.starts_with("velmor-ctl: bundle is not empty: ")) << again.err;
    EXPECT_EQ(ctl(L"--console stop").exit_code, 0u);
}

}  // namespace
}  // namespace velmor::e2e
