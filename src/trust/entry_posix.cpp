// A descriptor does not stop a rename here: what is held is checked, not
// locked.

#include "trust/entry_posix.hpp"

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>

#include "base/file_ops.hpp"
#include "base/os_error.hpp"
#include "trust/file_trust_posix.hpp"

namespace velmor::trust {

namespace {

int fd_of(const OpenedEntry& entry) { return static_cast<int>(entry.handle.get()); }

EntryIdentity identity_of(const struct stat& info) {
    return EntryIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino), 0};
}

// O_PATH with O_NOFOLLOW opens a symbolic link itself.
int open_itself(const std::filesystem::path& path) { return ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); }

}  // namespace

EntryFacts facts_of(const struct stat& info, bool with_permissions) {
    EntryFacts facts;
    facts.kind = S_ISLNK(info.st_mode)   ? EntryKind::Link
                 : S_ISDIR(info.st_mode) ? EntryKind::Folder
                 : S_ISREG(info.st_mode) ? EntryKind::File
                                         : EntryKind::Other;
    if (with_permissions) facts.permissions = permissions_of(info);
    return facts;
}

Result<std::optional<Entry>> open_entry(const std::filesystem::path& path) {
    const int fd = open_itself(path);
    if (fd < 0) {
        if (errno == ENOENT) return std::optional<Entry>();
        return fail(last_call_error("open"));
    }
    Entry entry;
    entry.opened.handle.reset(fd);
    struct stat info{};
    if (::fstat(fd, &info) != 0) return fail(last_call_error("fstat"));
    entry.kind = facts_of(info, false).kind;
    entry.opened.identity = identity_of(info);
    return std::optional<Entry>(std::move(entry));
}

Result<Permissions> entry_permissions(const OpenedEntry& entry) {
    struct stat info{};
    if (::fstat(fd_of(entry), &info) != 0) return fail(last_call_error("fstat"));
    return permissions_of(info);
}

Result<bool> entry_is_at(const OpenedEntry& entry, const std::filesystem::path& path) {
    struct stat held{};
    struct stat named{};
    if (::fstat(fd_of(entry), &held) != 0) return fail(last_call_error("fstat"));
    if (::lstat(path.c_str(), &named) != 0) return false;
    return identity_of(held) == identity_of(named);
}

Result<> rename_entry_aside(const std::filesystem::path& path, const EntryIdentity& identity,
                            const std::filesystem::path& aside) {
    // No rename through a descriptor here: the name is checked just before.
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) return fail(last_call_error("lstat"));
    if (!(identity_of(info) == identity)) return fail("replaced while it was being checked");
    return file_ops::rename_file(path, aside, file_ops::Rename::KeepExisting);
}

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

Result<std::optional<EntryFacts>> read_entry(const std::filesystem::path& path) {
    const int fd = open_itself(path);
    if (fd < 0) {
        if (errno == ENOENT) return std::optional<EntryFacts>();
        return fail(last_call_error("open"));
    }
    const NativeHandle held(fd);
    struct stat info{};
    if (::fstat(fd, &info) != 0) return fail(last_call_error("fstat"));
    return std::optional<EntryFacts>(facts_of(info, true));
}

bool keeps_no_permissions_anywhere() { return false; }

bool permissions_kept(const OpenedEntry& entry) {
    // File systems that keep no owner or mode bits: every entry shows the
    // mount's.
    constexpr long MSDOS_MAGIC = 0x4d44;
    constexpr long EXFAT_MAGIC = 0x2011BAB0;
    struct statfs volume{};
    if (::fstatfs(fd_of(entry), &volume) != 0) return true;
    const long type = static_cast<long>(volume.f_type);
    return type != MSDOS_MAGIC && type != EXFAT_MAGIC;
}

}  // namespace velmor::trust
