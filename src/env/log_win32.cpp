#include <mutex>

#include "base/os_error.hpp"
#include "base/win.hpp"
#include "env/log.hpp"
#include "env/log_file.hpp"
#include "trust/entry_win32.hpp"
#include "trust/file_trust_win32.hpp"

// After <windows.h>:
#include <sddl.h>

namespace velmor {

std::int64_t system_time_intervals() {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

namespace detail {
namespace {
// FILE_GENERIC_WRITE without FILE_WRITE_DATA: every write lands at the end;
// and the descriptor, to check one found.
constexpr DWORD LOG_ACCESS = 0x00120114 | READ_CONTROL;
constexpr DWORD LOG_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;{the process's user})": no owner
// named, so the creator's default owner (the Administrators for SYSTEM, the
// user for a console run). Built once and never freed: a thread may still
// log while the process ends. Null when it cannot be built.
PSECURITY_DESCRIPTOR private_file_descriptor() {
    static const PSECURITY_DESCRIPTOR descriptor = []() -> PSECURITY_DESCRIPTOR {
        trust::ProcessUser process = trust::process_user();
        wchar_t* user = nullptr;
        if (!process.known || !ConvertSidToStringSidW(process.sid, &user)) return nullptr;
        const unique_hlocal user_owned(user);
        const std::wstring sddl = std::wstring(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;") + user + L")";
        PSECURITY_DESCRIPTOR built = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &built, nullptr))
            return nullptr;
        return built;
    }();
    return descriptor;
}
}  // namespace

Result<std::unique_ptr<LogFile>> LogFile::open(const std::filesystem::path& path) {
    // Never created with what the folder would pass on.
    SECURITY_ATTRIBUTES security{sizeof security, private_file_descriptor(), FALSE};
    if (security.lpSecurityDescriptor == nullptr) return fail("the log file's descriptor cannot be built");
    // A link is opened as itself, to be found out and set aside.
    HANDLE h = CreateFileW(path.c_str(), LOG_ACCESS, LOG_SHARE, &security, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(last_call_error("CreateFileW"));
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    return std::unique_ptr<LogFile>(new LogFile(native_handle_of(h), created));
}

Result<std::optional<std::string>> LogFile::security_problem(bool check_permissions) const {
    Result<trust::EntryFacts> facts = trust::facts_of(handle_of(handle_), check_permissions);
    if (!facts) return fail(std::move(facts.error()));
    return trust::entry_problem(*facts, trust::EntryKind::File, trust::TrustRole::Private);
}

void LogFile::write_all(std::string_view bytes) {
    HANDLE h = handle_of(handle_);
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!WriteFile(h, bytes.data(), chunk, &written, nullptr) || written == 0) return;
        bytes.remove_prefix(written);
    }
}

std::optional<std::uint64_t> LogFile::size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle_of(handle_), &size) || size.QuadPart < 0) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

Result<bool> LogFile::is_at(const std::filesystem::path& path) const {
    BY_HANDLE_FILE_INFORMATION held{};
    if (!GetFileInformationByHandle(handle_of(handle_), &held))
        return fail(last_call_error("GetFileInformationByHandle"));
    // No access asked beyond the attributes, shared every way: neither the
    // file's DACL nor its other writers and readers refuse this open.
    const unique_handle named = adopt_file_handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, LOG_SHARE, nullptr,
                                                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!named) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return false;
        return fail(call_error("CreateFileW", code));
    }
    BY_HANDLE_FILE_INFORMATION found{};
    if (!GetFileInformationByHandle(named.get(), &found)) return fail(last_call_error("GetFileInformationByHandle"));
    return held.dwVolumeSerialNumber == found.dwVolumeSerialNumber && held.nFileIndexHigh == found.nFileIndexHigh &&
           held.nFileIndexLow == found.nFileIndexLow;
}

void echo_to_stderr(std::string_view line) {
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
    // One writer at a time, so that the echoes of two threads never interleave.
    // Never destroyed: threads that outlive wmain may still log.
    static std::mutex& echo_mutex = *new std::mutex;
    std::lock_guard lock(echo_mutex);
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        // A console shows Unicode only through the wide call.
        const std::wstring wide = widen(line);
        std::wstring_view rest(wide);
        while (!rest.empty()) {
            DWORD written = 0;
            if (!WriteConsoleW(h, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr) || written == 0)
                return;
            rest.remove_prefix(written);
        }
        return;
    }
    while (!line.empty()) {
        DWORD written = 0;
        if (!WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) || written == 0) return;
        line.remove_prefix(written);
    }
}

}  // namespace detail
}  // namespace velmor
