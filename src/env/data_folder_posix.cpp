// The POSIX analogue of the Windows data folder checks, with owner and mode
// bits, so that the decisions run natively against permissions that are
// really enforced. A descriptor does not stop a rename here: what is held
// is checked, not locked.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>

#include "base/os_error.hpp"
#include "env/data_folder.hpp"
#include "trust/file_trust_posix.hpp"

namespace velmor {

Result<> create_folder_all(const std::filesystem::path& folder) {
    if (folder.empty()) return {};
    struct stat info{};
    if (::stat(folder.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return {};
        return fail(os_error(EEXIST));
    }
    const std::filesystem::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder) {
        if (Result<> made = create_folder_all(parent); !made) return made;
    }
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return fail(os_error(static_cast<std::uint32_t>(errno)));
    return {};
}

namespace detail {

struct OpenedEntry {
    int fd = -1;
};

void OpenedEntryCloser::operator()(OpenedEntry* entry) const {
    if (entry->fd >= 0) ::close(entry->fd);
    delete entry;
}

namespace {

Error errno_error(const char* call, int code) {
    return Error(std::string(call) + " failed: " + std::to_string(code), os_error(static_cast<std::uint32_t>(code)));
}

EntryIdentity identity_of(const struct stat& info) {
    return EntryIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino), 0};
}

std::optional<std::string> mode_problem(const struct stat& info) {
    return trust::who_may_change(trust::TrustRole::DataFolder, trust::permissions_of(info));
}

}  // namespace

Result<std::optional<Entry>> open_entry(const std::filesystem::path& path) {
    // O_PATH with O_NOFOLLOW opens a symbolic link itself.
    const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::optional<Entry>();
        return fail(errno_error("open", errno));
    }
    Entry entry;
    entry.handle.reset(new OpenedEntry{fd});
    struct stat info{};
    if (::fstat(fd, &info) != 0) return fail(errno_error("fstat", errno));
    entry.kind = S_ISLNK(info.st_mode) ? EntryKind::Link : S_ISDIR(info.st_mode) ? EntryKind::Folder : EntryKind::Other;
    entry.identity = identity_of(info);
    return std::optional<Entry>(std::move(entry));
}

Result<std::optional<std::string>> entry_security_problem(const OpenedEntry& entry) {
    struct stat info{};
    if (::fstat(entry.fd, &info) != 0) return fail(errno_error("fstat", errno));
    return mode_problem(info);
}

Result<bool> entry_is_at(const OpenedEntry& entry, const std::filesystem::path& path) {
    struct stat held{};
    struct stat named{};
    if (::fstat(entry.fd, &held) != 0) return fail(errno_error("fstat", errno));
    if (::lstat(path.c_str(), &named) != 0) return false;
    return identity_of(held) == identity_of(named);
}

Result<> rename_entry_aside(const std::filesystem::path& path, const EntryIdentity& identity,
                            const std::filesystem::path& aside) {
    // No rename through a descriptor here: the name is checked just before.
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) return fail(errno_error("lstat", errno));
    if (!(identity_of(info) == identity)) return fail("replaced while it was being checked");
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) != 0)
        return fail(errno_error("renameat2", errno));
    return {};
}

Result<bool> create_protected_folder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0755) == 0) return true;
    if (errno == EEXIST) return false;
    return fail(errno_error("mkdir", errno));
}

bool folder_permissions_kept(const std::filesystem::path&) { return true; }

std::filesystem::path::string_type untrusted_suffix() {
    // Nanoseconds since 1970, made to increase within the process.
    static std::atomic<std::int64_t> last{0};
    std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    std::int64_t seen = last.load();
    do {
        if (now <= seen) now = seen + 1;
    } while (!last.compare_exchange_weak(seen, now));
    return ".untrusted-" + std::to_string(now);
}

Result<Comparison> compare_with(const std::filesystem::path& source, const std::filesystem::path& copy) {
    struct stat info{};
    if (::lstat(copy.c_str(), &info) != 0) {
        if (errno == ENOENT) return Comparison::Missing;
        return fail(errno_error("lstat", errno));
    }
    if (!S_ISREG(info.st_mode)) return Comparison::Different;
    std::error_code ec;
    const std::uintmax_t source_size = std::filesystem::file_size(source, ec);
    if (ec) return fail(os_error(static_cast<std::uint32_t>(ec.value())));
    if (source_size != static_cast<std::uintmax_t>(info.st_size)) return Comparison::Different;
    std::ifstream a(source, std::ios::binary);
    std::ifstream b(copy, std::ios::binary);
    if (!a || !b) return fail("cannot read to compare");
    char x[4096];
    char y[4096];
    for (;;) {
        a.read(x, sizeof x);
        b.read(y, sizeof y);
        const std::streamsize n = a.gcount();
        if (n != b.gcount() || std::char_traits<char>::compare(x, y, static_cast<std::size_t>(n)) != 0)
            return Comparison::Different;
        if (n < static_cast<std::streamsize>(sizeof x)) return Comparison::Same;  // the end of both
    }
}

bool path_metadata_readable(const std::filesystem::path& path) {
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0;
}

Result<> copy_file_over(const std::filesystem::path& source, const std::filesystem::path& destination) {
    std::error_code ec;
    std::filesystem::copy_file(source, destination, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) return fail(os_error(static_cast<std::uint32_t>(ec.value())));
    return {};
}

Result<> rename_replacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return fail(os_error(static_cast<std::uint32_t>(errno)));
    return {};
}

void remove_file_quietly(const std::filesystem::path& path) { ::unlink(path.c_str()); }

std::filesystem::path::string_type temporary_copy_suffix() {
    return "." + std::to_string(::getpid()) + ".tmp";
}

}  // namespace detail
}  // namespace velmor
