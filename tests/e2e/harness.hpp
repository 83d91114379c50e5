#pragma once
// End-to-end harness: the real velmor-helper.exe started in a folder of the
// test's own, and raw clients of its control pipe. Windows programs only
// (under Wine here): the pipe exists only for Windows processes.

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "base/win.hpp"
#include "base/names.hpp"

namespace velmor::e2e {

using namespace std::chrono_literals;

inline constexpr const wchar_t* HELPER_PIPE = PIPE_NAME;

// The bound for anything a test waits for; never a speed requirement.
inline constexpr std::chrono::milliseconds GENEROUS = 30s;

bool under_wine();

// The folder of the running test program, where the build puts
// velmor-helper.exe and velmor-ctl.exe.
std::filesystem::path program_dir();

// A fresh, empty work folder for the current test: <build>/e2e-work/<suite>.<test>.
std::filesystem::path test_folder();

std::string read_file(const std::filesystem::path& path);
// Writes `text` as the whole of the file at `path`, bytes as they are.
void write_file(const std::filesystem::path& path, std::string_view text);
// How many times `part` stands in `text`, without overlaps.
std::size_t count_of(std::string_view text, std::string_view part);
// The names of the entries of `folder` that end in `suffix`, such as the
// temporary files a finished copy must not leave behind.
std::vector<std::string> names_ending_in(const std::filesystem::path& folder, std::wstring_view suffix);

// Calls `condition` until it holds or `bound` passes.
template <class F>
bool wait_until(F condition, std::chrono::milliseconds bound = GENEROUS) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(20);
    }
}

struct ProgramOutcome {
    DWORD exit_code = 0xFFFFFFFF;
    std::string out;  // standard output, bytes as written
    std::string err;  // standard error, bytes as written
};

// Runs `exe` with `arguments` (already quoted as needed) in `scratch`, and
// waits for it to end (at most `bound`, then it is killed and the exit code
// is 0xFFFFFFFF).
ProgramOutcome run_program(const std::filesystem::path& exe, const std::wstring& arguments,
                           const std::filesystem::path& scratch, std::chrono::milliseconds bound = GENEROUS);

// One velmor-helper.exe process, copied into a folder of its own. The
// process is killed when the object goes.
class HelperProcess {
public:
    // Copies the built helper into `folder` (created if missing).
    explicit HelperProcess(std::filesystem::path folder);
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path exe() const { return folder_ / L"velmor-helper.exe"; }
    std::filesystem::path log_path() const { return folder_ / L"velmor-helper.log"; }

    // Puts the fake core library (built beside the tests) next to the
    // helper; false, with a test failure added, when it cannot.
    bool place_fake_core() const;

    // Sets (or, with none, removes) a variable in the helper's environment.
    // ProgramData is preset to <folder>\ProgramData.
    void set_env(const std::wstring& name, std::optional<std::wstring> value);

    // Starts the helper with `arguments` and CreateProcessW's
    // `creation_flags`; standard error goes to stderr.txt in the folder.
    // False (with a test failure added) when it cannot start.
    bool start(const std::wstring& arguments = L"console", DWORD creation_flags = 0);

    // Starts console mode and waits until its log says so.
    bool start_console(DWORD creation_flags = 0);

    bool running() const;
    // The running helper's process id; 0 before start and after kill.
    DWORD process_id() const { return process_ ? GetProcessId(process_.get()) : 0; }
    // The exit code once the process has ended within `bound`.
    std::optional<DWORD> wait_exit(std::chrono::milliseconds bound = GENEROUS) const;
    void kill();

    std::string log() const { return read_file(log_path()); }
    std::string standard_error() const { return read_file(folder_ / L"stderr.txt"); }
    // Waits until the log holds `text`.
    bool wait_for_log(std::string_view text, std::chrono::milliseconds bound = GENEROUS) const;
    // How many times the log holds `text`.
    std::size_t log_count(std::string_view text) const;

private:
    std::filesystem::path folder_;
    std::map<std::wstring, std::optional<std::wstring>> env_;
    unique_handle process_;
};

// What one read of a reply ended with.
struct ReadOutcome {
    std::string bytes;       // everything read
    DWORD error = 0;         // 0 when a line feed arrived; else the failing code, or WAIT_TIMEOUT
    bool line() const { return error == 0; }
};

// One client connection to a pipe, with raw Win32 calls, so tests can send
// partial lines, several messages, empty messages or nothing at all. Every
// wait is bounded.
class PipeClient {
public:
    // Connects, retrying while the pipe is absent or busy, for at most `bound`.
    static std::optional<PipeClient> connect(std::chrono::milliseconds bound = GENEROUS,
                                             const wchar_t* name = HELPER_PIPE);

    PipeClient(PipeClient&&) = default;
    PipeClient& operator=(PipeClient&&) = default;

    // Writes `bytes` as one message (an empty view writes an empty message).
    // Returns 0 on success, else the error code (WAIT_TIMEOUT after `bound`).
    DWORD write(std::string_view bytes, std::chrono::milliseconds bound = GENEROUS);

    // Reads until a line feed arrives, the server ends the connection, or
    // `bound` passes.
    ReadOutcome read_reply(std::chrono::milliseconds bound = GENEROUS);

    void close() { pipe_.reset(); }
    HANDLE handle() const { return pipe_.get(); }

private:
    explicit PipeClient(unique_handle pipe) : pipe_(std::move(pipe)) {}
    unique_handle pipe_;
};

// Connects, writes `request` as one message and reads the reply.
ReadOutcome exchange(std::string_view request, std::chrono::milliseconds bound = GENEROUS);

// Requests and replies of the control pipe, byte for byte as a client
// writes them and the helper answers, line feed included. An id is used as
// it is: tests pick ids that need no escaping.

// `text` as a JSON string, quotes included; control characters as \u00xx.
std::string json_string(std::string_view text);
// {"id":"<id>","action":"<action>"}
std::string request(std::string_view id, std::string_view action);
std::string start_request(std::string_view id, std::string_view config);
std::string stop_request(std::string_view id);
std::string reply_ok(std::string_view id, std::string_view data = "null");
std::string reply_error(std::string_view id, std::string_view error);
std::string ping_reply(std::string_view id);
// The data of a status reply: the core's status and the error kept for
// clients, if any.
std::string status_data(std::string_view status, std::optional<std::string_view> error);
// The reply to status() below.
std::string status_reply(std::string_view status, std::optional<std::string_view> error);
// Asks the running helper for its status with id "s"; the reply's bytes.
std::string status();

// A test with one helper in a folder of its own (ProgramData in that
// folder, as HelperProcess sets it); a core the helper left running is
// stopped at the end. A test may put another helper in `helper_`.
class HelperTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    HelperProcess& helper() { return *helper_; }
    // Where the helper keeps its data: ProgramData\Velmor\service.
    std::filesystem::path data_dir() const;

    std::optional<HelperProcess> helper_;
};

}  // namespace velmor::e2e
