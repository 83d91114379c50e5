#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

namespace velmor::e2e {
namespace {

std::wstring upper(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(towupper(c)); });
    return text;
}

// The process's environment with `changes` applied, as a CreateProcessW block.
std::wstring environment_block(const std::map<std::wstring, std::optional<std::wstring>>& changes) {
    std::map<std::wstring, std::wstring> entries;  // by upper-case name: "Name=value"
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) {
            const std::wstring entry(p);
            const std::size_t eq = entry.find(L'=', 1);  // names like "=C:" start with '='
            if (eq == std::wstring::npos) continue;
            entries[upper(entry.substr(0, eq))] = entry;
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : changes) {
        if (value) entries[upper(name)] = name + L"=" + *value;
        else entries.erase(upper(name));
    }
    std::wstring out;
    for (const auto& [key, entry] : entries) {
        out += entry;
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

std::wstring quoted(const std::filesystem::path& path) { return L"\"" + path.native() + L"\""; }

// Waits for an overlapped operation on `h` for at most `bound`; cancels it
// when the bound passes. Returns 0 or the error code.
DWORD finish_overlapped(HANDLE h, OVERLAPPED& ov, DWORD& transferred, std::chrono::milliseconds bound) {
    const DWORD waited = WaitForSingleObject(ov.hEvent, static_cast<DWORD>(bound.count()));
    if (waited != WAIT_OBJECT_0) {
        CancelIoEx(h, &ov);
        GetOverlappedResult(h, &ov, &transferred, TRUE);
        return WAIT_TIMEOUT;
    }
    if (!GetOverlappedResult(h, &ov, &transferred, FALSE)) return GetLastError();
    return 0;
}

}  // namespace

bool under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::filesystem::path program_dir() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    return std::filesystem::path(buffer).parent_path();
}

std::filesystem::path test_folder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "outside-a-test";
    std::replace(name.begin(), name.end(), '/', '_');
    const std::filesystem::path folder = program_dir().parent_path() / L"e2e-work" / name;
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    std::filesystem::create_directories(folder, ec);
    return folder;
}

void write_file(const std::filesystem::path& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::size_t count_of(std::string_view text, std::string_view part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ProgramOutcome run_program(const std::filesystem::path& exe, const std::wstring& arguments,
                           const std::filesystem::path& scratch, std::chrono::milliseconds bound) {
    ProgramOutcome outcome;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const std::filesystem::path out_path = scratch / L"program-stdout.txt";
    const std::filesystem::path err_path = scratch / L"program-stderr.txt";
    {
        const unique_handle out = adopt_file_handle(CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                                &inherit, CREATE_ALWAYS, 0, nullptr));
        const unique_handle err = adopt_file_handle(CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                                &inherit, CREATE_ALWAYS, 0, nullptr));
        if (!out || !err) {
            ADD_FAILURE() << "cannot create output files in " << scratch.string();
            return outcome;
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out.get();
        startup.hStdError = err.get();
        std::wstring line = quoted(exe);
        if (!arguments.empty()) line += L" " + arguments;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, scratch.c_str(), &startup,
                            &pi)) {
            ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
            return outcome;
        }
        const unique_handle process(pi.hProcess);
        const unique_handle thread(pi.hThread);
        if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(bound.count())) != WAIT_OBJECT_0) {
            TerminateProcess(pi.hProcess, 0xFFFFFFFF);
            WaitForSingleObject(pi.hProcess, 10'000);
            ADD_FAILURE() << exe.string() << " did not end in time";
        }
        GetExitCodeProcess(pi.hProcess, &outcome.exit_code);
    }
    outcome.out = read_file(out_path);
    outcome.err = read_file(err_path);
    return outcome;
}

HelperProcess::HelperProcess(std::filesystem::path folder) : folder_(std::move(folder)) {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    std::filesystem::copy_file(program_dir() / L"velmor-helper.exe", exe(),
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) ADD_FAILURE() << "cannot copy velmor-helper.exe: " << ec.message();
    env_[L"ProgramData"] = (folder_ / L"ProgramData").native();
}

HelperProcess::~HelperProcess() { kill(); }

bool HelperProcess::place_fake_core() const {
    std::error_code ec;
    std::filesystem::copy_file(program_dir() / L"fake-core" / L"clash_ffi.dll", folder_ / L"clash_ffi.dll",
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) ADD_FAILURE() << "cannot place the fake core: " << ec.message();
    return !ec;
}

void HelperProcess::set_env(const std::wstring& name, std::optional<std::wstring> value) {
    env_[name] = std::move(value);
}

bool HelperProcess::start(const std::wstring& arguments, DWORD creation_flags) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const unique_handle err = adopt_file_handle(CreateFileW((folder_ / L"stderr.txt").c_str(), GENERIC_WRITE,
                                                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                                            CREATE_ALWAYS, 0, nullptr));
    if (!err) {
        ADD_FAILURE() << "cannot create stderr.txt: " << GetLastError();
        return false;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdError = err.get();
    std::wstring line = quoted(exe());
    if (!arguments.empty()) line += L" " + arguments;
    std::wstring env = environment_block(env_);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe().c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT | creation_flags,
                        env.data(), folder_.c_str(), &startup, &pi)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return false;
    }
    CloseHandle(pi.hThread);
    process_.reset(pi.hProcess);
    return true;
}

bool HelperProcess::start_console(DWORD creation_flags) {
    if (!start(L"console", creation_flags)) return false;
    if (wait_for_log("running in console mode")) return true;
    ADD_FAILURE() << "console mode did not start; stderr: " << standard_error();
    return false;
}

bool HelperProcess::running() const {
    return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> HelperProcess::wait_exit(std::chrono::milliseconds bound) const {
    if (!process_) return std::nullopt;
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(bound.count())) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

void HelperProcess::kill() {
    if (!process_) return;
    TerminateProcess(process_.get(), 0xDEAD);
    WaitForSingleObject(process_.get(), 10'000);
    process_.reset();
}

bool HelperProcess::wait_for_log(std::string_view text, std::chrono::milliseconds bound) const {
    return wait_until([&] { return log().find(text) != std::string::npos; }, bound);
}

std::size_t HelperProcess::log_count(std::string_view text) const { return count_of(log(), text); }

std::optional<PipeClient> PipeClient::connect(std::chrono::milliseconds bound, const wchar_t* name) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE) return PipeClient(unique_handle(h));
        const DWORD code = GetLastError();
        if (code != ERROR_PIPE_BUSY && code != ERROR_FILE_NOT_FOUND) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        if (code == ERROR_PIPE_BUSY) WaitNamedPipeW(name, 100);
        else Sleep(20);
    }
}

DWORD PipeClient::write(std::string_view bytes, std::chrono::milliseconds bound) {
    const unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    DWORD written = 0;
    if (!WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov)) {
        const DWORD code = GetLastError();
        if (code != ERROR_IO_PENDING) return code;
    }
    return finish_overlapped(pipe_.get(), ov, written, bound);
}

ReadOutcome PipeClient::read_reply(std::chrono::milliseconds bound) {
    ReadOutcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    const unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<char> chunk(4096);
    while (outcome.bytes.find('\n') == std::string::npos) {
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        ResetEvent(event.get());
        DWORD n = 0;
        DWORD code = 0;
        if (!ReadFile(pipe_.get(), chunk.data(), static_cast<DWORD>(chunk.size()), nullptr, &ov)) {
            code = GetLastError();
            if (code == ERROR_IO_PENDING) {
                const auto left = std::max(std::chrono::milliseconds(0),
                                           std::chrono::duration_cast<std::chrono::milliseconds>(
                                               deadline - std::chrono::steady_clock::now()));
                code = finish_overlapped(pipe_.get(), ov, n, left);
            } else if (code == ERROR_MORE_DATA) {
                GetOverlappedResult(pipe_.get(), &ov, &n, FALSE);
            }
        } else {
            GetOverlappedResult(pipe_.get(), &ov, &n, TRUE);
        }
        outcome.bytes.append(chunk.data(), n);
        if (code != 0 && code != ERROR_MORE_DATA) {
            outcome.error = code;
            return outcome;
        }
    }
    outcome.error = 0;
    return outcome;
}

ReadOutcome exchange(std::string_view request, std::chrono::milliseconds bound) {
    std::optional<PipeClient> client = PipeClient::connect(bound);
    if (!client) return ReadOutcome{{}, ERROR_FILE_NOT_FOUND};
    if (const DWORD code = client->write(request, bound); code != 0) return ReadOutcome{{}, code};
    return client->read_reply(bound);
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

std::string request(std::string_view id, std::string_view action) {
    return "{\"id\":\"" + std::string(id) + "\",\"action\":\"" + std::string(action) + "\"}\n";
}

std::string start_request(std::string_view id, std::string_view config) {
    return "{\"id\":\"" + std::string(id) + "\",\"action\":\"start\",\"config\":" + json_string(config) + "}\n";
}

std::string stop_request(std::string_view id) { return request(id, "stop"); }

std::string reply_ok(std::string_view id, std::string_view data) {
    return "{\"id\":\"" + std::string(id) + "\",\"ok\":true,\"error\":null,\"data\":" + std::string(data) + "}\n";
}

std::string reply_error(std::string_view id, std::string_view error) {
    return "{\"id\":\"" + std::string(id) + "\",\"ok\":false,\"error\":" + json_string(error) + ",\"data\":null}\n";
}

std::string ping_reply(std::string_view id) { return reply_ok(id, "{\"pong\":true}"); }

std::string status_data(std::string_view status, std::optional<std::string_view> error) {
    return "{\"error\":" + (error ? json_string(*error) : std::string("null")) +
           ",\"running\":" + (status == "running" ? "true" : "false") + ",\"status\":\"" + std::string(status) + "\"}";
}

std::string status_reply(std::string_view status, std::optional<std::string_view> error) {
    return reply_ok("s", status_data(status, error));
}

std::string status() { return exchange(request("s", "status")).bytes; }

void HelperTest::SetUp() { helper_.emplace(test_folder()); }

void HelperTest::TearDown() {
    if (helper_ && helper_->running()) exchange(stop_request("teardown"));
    helper_.reset();
}

std::filesystem::path HelperTest::data_dir() const {
    return helper_->folder() / L"ProgramData" / L"Velmor" / L"service";
}

}  // namespace velmor::e2e
