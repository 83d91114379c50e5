#include <mutex>

#include "base/win.hpp"
#include "env/log.hpp"
#include "env/log_file.hpp"

namespace velmor {

std::int64_t system_time_intervals() {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

namespace detail {
namespace {
// FILE_GENERIC_WRITE without FILE_WRITE_DATA: every write lands at the end.
constexpr DWORD LOG_ACCESS = 0x00120114;
constexpr DWORD LOG_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
}  // namespace

std::unique_ptr<LogFile> LogFile::open(const std::filesystem::path& path) {
    HANDLE h = CreateFileW(path.c_str(), LOG_ACCESS, LOG_SHARE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::unique_ptr<LogFile>(new LogFile(reinterpret_cast<std::intptr_t>(h)));
}

LogFile::~LogFile() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

void LogFile::write_all(std::string_view bytes) {
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!WriteFile(h, bytes.data(), chunk, &written, nullptr) || written == 0) return;
        bytes.remove_prefix(written);
    }
}

std::optional<std::uint64_t> LogFile::size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &size) || size.QuadPart < 0) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
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
