#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "base/os_error.hpp"
#include "env/log.hpp"
#include "env/log_file.hpp"
#include "trust/entry_posix.hpp"

namespace velmor {

std::int64_t system_time_intervals() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    constexpr std::int64_t SECONDS_1601_TO_1970 = 11644473600;
    return (static_cast<std::int64_t>(ts.tv_sec) + SECONDS_1601_TO_1970) * 10'000'000 + ts.tv_nsec / 100;
}

namespace detail {

Result<std::unique_ptr<LogFile>> LogFile::open(const std::filesystem::path& path) {
    // Append-only, like the Windows handle without FILE_WRITE_DATA.
    constexpr int FLAGS = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(path.c_str(), FLAGS | O_CREAT | O_EXCL, 0600);
    const bool created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), FLAGS);
    // A link is opened as itself, to be found out and set aside.
    if (fd < 0 && errno == ELOOP) fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return fail(last_call_error("open"));
    return std::unique_ptr<LogFile>(new LogFile(NativeHandle(fd), created));
}

Result<std::optional<std::string>> LogFile::security_problem(bool permissions) const {
    struct stat info {};
    if (::fstat(static_cast<int>(handle_.get()), &info) != 0) return fail(last_call_error("fstat"));
    return trust::entry_problem(trust::facts_of(info, permissions), trust::EntryKind::File, trust::TrustRole::Private);
}

void LogFile::write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(static_cast<int>(handle_.get()), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::optional<std::uint64_t> LogFile::size() const {
    struct stat st {};
    if (::fstat(static_cast<int>(handle_.get()), &st) != 0 || st.st_size < 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

Result<bool> LogFile::is_at(const std::filesystem::path& path) const {
    struct stat held {};
    struct stat named {};
    if (::fstat(static_cast<int>(handle_.get()), &held) != 0) return fail(last_call_error("fstat"));
    if (::lstat(path.c_str(), &named) != 0) {
        if (errno == ENOENT) return false;
        return fail(last_call_error("lstat"));
    }
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void echo_to_stderr(std::string_view line) {
    // A process without standard error (descriptor 2 closed) echoes nothing
    // from then on, as a Windows service without one: no system call per
    // line, and no lines in whatever file a later open is given descriptor 2.
    static std::atomic<bool> absent{false};
    if (absent.load(std::memory_order_relaxed)) return;
    // One writer at a time, so that the echoes of two threads never interleave.
    // Never destroyed: threads that outlive main may still log.
    static std::mutex& echo_mutex = *new std::mutex;
    std::lock_guard lock(echo_mutex);
    while (!line.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EBADF) absent.store(true, std::memory_order_relaxed);
        if (n <= 0) return;
        line.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace detail
}  // namespace velmor
