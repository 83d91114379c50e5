// The Windows benchmarks, run under Wine by scripts/bench: the real
// velmor-helper.exe in console mode, with the fake core, against a bare pipe
// server in this program that does no more than the transport needs.
//   - "ping" round trips per second, one connection per request, against the
//     bare server that creates one instance per client and answers a fixed
//     reply;
//   - a "start" with a 4 MiB configuration: time from the first byte written
//     to the reply, less the 1.5 s start check, against the bare server
//     receiving the same bytes;
//   - the helper's peak working set while it handles that start, above its
//     working set when idle.
// Writes a Markdown section with the figures to the file given as argument.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/text.hpp"
#include "base/win.hpp"
// After windows.h, which it needs.
#include <psapi.h>

#include <cwchar>
#include "sample_config.hpp"

namespace {

using namespace velmor;

constexpr const wchar_t* HELPER_PIPE = L"\\\\.\\pipe\\velmor-helper";
constexpr const wchar_t* BARE_PIPE = L"\\\\.\\pipe\\velmor-bench-bare";
constexpr double START_CHECK_SECONDS = 1.5;
constexpr int PINGS_PER_ROUND = 100;
constexpr int ROUNDS = 15;
constexpr int START_ROUNDS = 3;
constexpr DWORD HOSTILE_SECONDS = 60;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "velmor-pipe-bench: %s (last error %lu)\n", why.c_str(), GetLastError());
    std::exit(1);
}

double now_seconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / frequency;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::filesystem::path program_dir() {
    std::wstring buffer(MAX_PATH, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    return std::filesystem::path(buffer).parent_path();
}

// Reads one message-mode request or reply until a line feed, the end of the
// connection, or a failure; returns what arrived.
std::string read_line(HANDLE pipe) {
    std::string bytes;
    std::vector<char> chunk(65536);
    for (;;) {
        DWORD got = 0;
        const BOOL ok = ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr);
        bytes.append(chunk.data(), got);
        if (bytes.find('\n') != std::string::npos) return bytes;
        if (!ok && GetLastError() != ERROR_MORE_DATA) return bytes;
        if (ok && got == 0) return bytes;
    }
}

// A client connection: retries while the server has no free instance.
unique_handle connect_pipe(const wchar_t* name) {
    const double deadline = now_seconds() + 30;
    for (;;) {
        HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
            return unique_handle(h);
        }
        const DWORD error = GetLastError();
        if (now_seconds() > deadline) die("cannot connect to the pipe");
        if (error == ERROR_PIPE_BUSY) WaitNamedPipeW(name, 1000);
        else if (error == ERROR_FILE_NOT_FOUND) SwitchToThread();
        else die("CreateFileW on the pipe failed");
    }
}

// Writes the request as one message and reads the reply line.
std::string round_trip(const wchar_t* name, std::string_view request) {
    const unique_handle pipe = connect_pipe(name);
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr) ||
        written != request.size())
        die("WriteFile of the request failed");
    return read_line(pipe.get());
}

// The bare server: one instance per client, the request read to its line
// feed, a fixed reply, flushed, then the instance closed. Runs in a process
// of its own (this program with --bare-server), as the helper does, so that
// neither server shares a process with the clients that measure it.
[[noreturn]] void serve_bare(const std::string& reply) {
    for (;;) {
        const unique_handle pipe = adopt_file_handle(CreateNamedPipeW(
            BARE_PIPE, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 0,
            nullptr));
        if (!pipe) die("CreateNamedPipeW failed");
        if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) continue;
        (void)read_line(pipe.get());
        DWORD written = 0;
        WriteFile(pipe.get(), reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
        FlushFileBuffers(pipe.get());
        DisconnectNamedPipe(pipe.get());
    }
}

class BareServer {
public:
    BareServer() {
        const std::wstring exe = (program_dir() / L"velmor-pipe-bench.exe").wstring();
        std::wstring line = L"\"" + exe + L"\" --bare-server";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &pi))
            die("CreateProcessW of the bare server failed");
        CloseHandle(pi.hThread);
        process_.reset(pi.hProcess);
    }
    ~BareServer() {
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 10000);
    }

private:
    unique_handle process_;
};

// velmor-helper.exe in console mode, in a folder of its own with the fake core
// and its data folder under <folder>\ProgramData.
class Helper {
public:
    explicit Helper(const std::filesystem::path& folder) : folder_(folder) {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
        std::filesystem::create_directories(folder / L"ProgramData");
        const std::filesystem::path from = program_dir();
        std::filesystem::copy_file(from / L"velmor-helper.exe", folder / L"velmor-helper.exe");
        std::filesystem::copy_file(from / L"fake-core" / L"clash_ffi.dll", folder / L"clash_ffi.dll");

        std::wstring env;
        for (const wchar_t* p = GetEnvironmentStringsW(); *p != L'\0'; p += wcslen(p) + 1) {
            if (_wcsnicmp(p, L"ProgramData=", 12) != 0) env.append(p).push_back(L'\0');
        }
        env += L"ProgramData=" + (folder / L"ProgramData").wstring();
        env.push_back(L'\0');
        env.push_back(L'\0');

        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const unique_handle err = adopt_file_handle(CreateFileW((folder / L"stderr.txt").c_str(), GENERIC_WRITE,
                                                                FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdError = err.get();
        const std::filesystem::path exe = folder / L"velmor-helper.exe";
        std::wstring line = L"\"" + exe.wstring() + L"\" console";
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                            folder.c_str(), &startup, &pi))
            die("CreateProcessW of the helper failed");
        CloseHandle(pi.hThread);
        process_.reset(pi.hProcess);
        const double deadline = now_seconds() + 60;
        while (log().find("running in console mode") == std::string::npos) {
            if (now_seconds() > deadline) die("the helper did not start");
            Sleep(20);
        }
    }
    ~Helper() {
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 10000);
    }

    std::string log() const {
        std::ifstream in(folder_ / L"velmor-helper.log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::uintmax_t log_size() const {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(folder_ / L"velmor-helper.log", ec);
        return ec ? 0 : size;
    }

    PROCESS_MEMORY_COUNTERS memory() const {
        PROCESS_MEMORY_COUNTERS counters{};
        if (!GetProcessMemoryInfo(process_.get(), &counters, sizeof counters)) die("GetProcessMemoryInfo failed");
        return counters;
    }

private:
    std::filesystem::path folder_;
    unique_handle process_;
};

// Round trips per second of two servers, measured ping by ping in turns, so
// that both meet the same load of a shared machine.
std::pair<double, double> pings_per_second_side_by_side(const wchar_t* first, const wchar_t* second,
                                                        const std::string& ping) {
    double first_time = 0, second_time = 0;
    for (int i = 0; i < PINGS_PER_ROUND; ++i) {
        for (const wchar_t* name : {first, second}) {
            const double start = now_seconds();
            const std::string reply = round_trip(name, ping);
            if (reply.find("\"ok\":true") == std::string::npos) die("ping not answered: " + reply);
            (name == first ? first_time : second_time) += now_seconds() - start;
        }
    }
    return {PINGS_PER_ROUND / first_time, PINGS_PER_ROUND / second_time};
}

double pings_per_second(const wchar_t* name, const std::string& ping) {
    const double start = now_seconds();
    for (int i = 0; i < PINGS_PER_ROUND; ++i) {
        const std::string reply = round_trip(name, ping);
        if (reply.find("\"ok\":true") == std::string::npos) die("ping not answered: " + reply);
    }
    return PINGS_PER_ROUND / (now_seconds() - start);
}

// Seconds from the first byte written to the end of the reply.
double timed_exchange(const wchar_t* name, const std::string& request, std::string& reply) {
    const unique_handle pipe = connect_pipe(name);
    const double start = now_seconds();
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr) ||
        written != request.size())
        die("WriteFile of the start request failed");
    reply = read_line(pipe.get());
    return now_seconds() - start;
}

// Clients that connect to the helper and say nothing; they hold an instance
// each until the helper's 10 s bound lets them go.
std::vector<unique_handle> hang_clients(int count) {
    std::vector<unique_handle> hung;
    for (int i = 0; i < count; ++i) hung.push_back(connect_pipe(HELPER_PIPE));
    Sleep(50);  // each reached its server thread, which now waits for a request
    return hung;
}

// One hostile client of the mix that costs the log most: an invalid request
// of 1 KiB of DEL (six bytes each when escaped), invalid UTF-8, a client that
// closes at once, one that closes mid-line.
bool hostile_client(unsigned kind) {
    HANDLE h = CreateFileW(HELPER_PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(HELPER_PIPE, 100);
        return false;
    }
    const unique_handle pipe(h);
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
    std::string request;
    switch (kind % 4) {
        case 0: request = "{\"id\":\"" + std::string(1024, '\x7f') + "\"\n"; break;
        case 1: request = "{\"id\":\"\xff\",\"action\":\"ping\"}\n"; break;
        case 2: return true;
        default: request = "{\"id\":\"x\",\"act"; break;
    }
    DWORD written = 0;
    WriteFile(h, request.data(), static_cast<DWORD>(request.size()), &written, nullptr);
    return true;
}

std::string fixed(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string mib(double bytes) { return fixed(bytes / (1024.0 * 1024.0), 2) + " MiB"; }

std::string row(const std::string& what, const std::string& helper, const std::string& baseline, double ratio,
                const std::string& target, bool met) {
    return "| " + what + " | " + helper + " | " + baseline + " | " + fixed(ratio, 2) + " | " + target + " | " +
           (met ? "yes" : "**no**") + " |\n";
}

}  // namespace

int main(int argc, char** argv) {
    const std::string ping = R"({"id":"1","action":"ping"})" "\n";
    const std::string ping_reply = R"({"id":"1","ok":true,"error":null,"data":{"pong":true}})" "\n";
    if (argc == 2 && std::string_view(argv[1]) == "--bare-server") serve_bare(ping_reply);
    if (argc != 2) die("usage: velmor-pipe-bench OUTPUT.md");
    const std::string start = bench::start_request(bench::sample_config(4'150'000));
    const std::string stop = R"({"id":"2","action":"stop"})" "\n";

    Helper helper(program_dir() / L"pipe-bench-work");
    BareServer bare;

    // A minute of two hostile clients at once, first, while the log's rate
    // limit still has its whole burst: how much the log grows.
    const std::uintmax_t log_before = helper.log_size();
    std::uint64_t hostile_count = 0;
    {
        std::atomic<bool> done{false};
        std::atomic<std::uint64_t> count{0};
        auto flood = [&](unsigned first) {
            for (unsigned kind = first; !done.load(); ++kind) {
                if (hostile_client(kind)) count.fetch_add(1);
            }
        };
        std::thread a(flood, 0u), b(flood, 2u);
        Sleep(HOSTILE_SECONDS * 1000);
        done = true;
        a.join();
        b.join();
        hostile_count = count.load();
    }
    Sleep(500);
    const double log_growth = static_cast<double>(helper.log_size() - log_before);


    // Round trips, the two servers in turns; then the helper with three
    // clients hanging on it, in turns with the idle helper.
    std::vector<double> helper_rate, bare_rate, hung_rate, idle_rate;
    (void)pings_per_second(HELPER_PIPE, ping);
    (void)pings_per_second(BARE_PIPE, ping);
    for (int round = 0; round < ROUNDS; ++round) {
        const auto [helper_round, bare_round] = pings_per_second_side_by_side(HELPER_PIPE, BARE_PIPE, ping);
        helper_rate.push_back(helper_round);
        bare_rate.push_back(bare_round);
    }
    for (int round = 0; round < ROUNDS; ++round) {
        idle_rate.push_back(pings_per_second(HELPER_PIPE, ping));
        const std::vector<unique_handle> hung = hang_clients(3);
        hung_rate.push_back(pings_per_second(HELPER_PIPE, ping));
    }


    // For information: the same request with a configuration that the check
    // refuses, which shows the share of the request handling alone (reading,
    // parsing, checking) in the working set, without the core's start.
    SIZE_T refused_growth = 0;
    {
        std::string config = bench::sample_config(4'150'000);
        config.back() = ' ';  // the closing brace taken away
        const std::string refused = bench::start_request(config);
        const SIZE_T before = helper.memory().WorkingSetSize;
        std::string reply;
        (void)timed_exchange(HELPER_PIPE, refused, reply);
        if (reply.find("config is not valid JSON") == std::string::npos) die("refused start answered: " + reply);
        const SIZE_T after = helper.memory().PeakWorkingSetSize;
        refused_growth = after > before ? after - before : 0;
    }

    // The start, with the working set around the first one.
    const SIZE_T idle = helper.memory().WorkingSetSize;
    std::vector<double> helper_start, bare_start;
    SIZE_T peak = 0;
    for (int round = 0; round < START_ROUNDS; ++round) {
        std::string reply;
        helper_start.push_back(timed_exchange(HELPER_PIPE, start, reply) - START_CHECK_SECONDS);
        if (reply.find("\"ok\":true") == std::string::npos) die("start not accepted: " + reply);
        if (round == 0) peak = helper.memory().PeakWorkingSetSize;
        if (round_trip(HELPER_PIPE, stop).find("\"ok\":true") == std::string::npos) die("stop not accepted");
        bare_start.push_back(timed_exchange(BARE_PIPE, start, reply));
    }

    const double h_rate = median(helper_rate), b_rate = median(bare_rate);
    const double hung = median(hung_rate), idle_helper = median(idle_rate);
    const double h_start = median(helper_start), b_start = median(bare_start);
    const double growth = peak > idle ? static_cast<double>(peak - idle) : 0.0;
    const double size = static_cast<double>(start.size());

    std::string md = "\n## Windows, under Wine\n\n"
                     "`velmor-helper.exe console` with the fake core, driven by a Windows client in the same Wine "
                     "prefix; medians of " +
                     std::to_string(ROUNDS) + " rounds of " + std::to_string(PINGS_PER_ROUND) +
                     " pings, the two servers in turns ping by ping, and of " + std::to_string(START_ROUNDS) +
                     " starts. Wall time (a client waits on the server).\n\n"
                     "| Measure | Helper | Baseline | Ratio | Target | Met |\n|---|---|---|---|---|---|\n";
    md += row("\"ping\" round trips per second, one connection each", fixed(h_rate, 0) + " /s",
              fixed(b_rate, 0) + " /s", h_rate / b_rate, "≥ 0.9", h_rate / b_rate >= 0.9);
    md += row("\"ping\" round trips per second with three clients hanging silent (baseline: the idle helper)",
              fixed(hung, 0) + " /s", fixed(idle_helper, 0) + " /s", hung / idle_helper, "≥ 0.5", hung / idle_helper >= 0.5);
    md += row("Log growth in a minute of two hostile clients (" + std::to_string(hostile_count) +
                  " clients; baseline: the 64 KiB bound)",
              fixed(log_growth / 1024.0, 1) + " KiB", "64.0 KiB", log_growth / 65536.0, "< 1", log_growth < 65536.0);
    md += row("\"start\" with a " + mib(size) + " request: first byte written to reply, less 1.5 s",
              fixed(h_start * 1e3, 1) + " ms", fixed(b_start * 1e3, 1) + " ms", h_start / b_start, "≤ 1.5",
              h_start / b_start <= 1.5);
    md += row("Peak working set during that start, above idle (baseline: the request's size)", mib(growth),
              mib(size), growth / size, "≤ 4", growth / size <= 4.0);
    md += "| The same start with a configuration that the check refuses (request handling alone; for information) "
          "| " + mib(static_cast<double>(refused_growth)) + " | " + mib(size) + " | " +
          fixed(static_cast<double>(refused_growth) / size, 2) + " | none | - |\n";
    md += "\nBaselines: a server in a process of its own (this benchmark program started again as "
          "`--bare-server`, as the helper is a process of its own) that creates one pipe instance per client "
          "(message mode, 64 KiB buffers, like the helper's), reads the request to its line feed, writes a fixed "
          "reply, flushes and disconnects. Hung clients: three connections that send nothing, made anew for each "
          "round of pings (the helper lets them go after 10 s), against rounds of the idle helper in turns; a "
          "ratio of 0.5 is a round trip twice as long. Hostile minute: two client threads in a loop over an "
          "invalid request of 1 KiB of DEL, invalid UTF-8, a close at once and a close mid-line, for 60 s; the "
          "log's size before and after. Working set: `PeakWorkingSetSize` after the first start minus "
          "`WorkingSetSize` just before it (idle was " +
          mib(static_cast<double>(idle)) + "); under Wine both come from the Wine process's resident memory.\n";

    if (h_rate / b_rate < 0.9 || growth / size > 4.0) md += "\nMissed targets, and the causes found for them:\n\n";
    if (h_rate / b_rate < 0.9)
        md += "- Ping round trips: below the target in this run; the ratio varies by about 0.2 between runs on a "
              "shared machine.\n";
    if (growth / size > 4.0)
        md += "- Working set: the request handling alone (reading, parsing, checking) grows it by " +
              mib(static_cast<double>(refused_growth)) +
              " (the row for information). The rest comes after the check: `start_action` passes a copy of the "
              "configuration to `start_core`, and `run_core_in` copies it once more for `clash_start`, so that "
              "while the core starts the helper holds the received bytes, the parsed configuration and two "
              "more copies of it. Moving the parsed configuration into `start_core` and handing its own buffer "
              "to `clash_start` (it is already NUL-terminated) would leave one.\n";
    std::ofstream(argv[1], std::ios::binary) << md;
    std::fputs(md.c_str(), stdout);
    return 0;
}
