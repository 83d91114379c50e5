#include "trust/file_trust_posix.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/os_error.hpp"

namespace velmor::trust {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

Error errno_error(const char* call, int code) {
    return Error(std::string(call) + " failed: " + std::to_string(code), os_error(static_cast<std::uint32_t>(code)));
}

}  // namespace

Permissions permissions_of(const struct stat& info) {
    Permissions permissions;
    permissions.owner = Account{"uid " + std::to_string(info.st_uid), info.st_uid == 0 || info.st_uid == ::geteuid()};
    std::uint32_t writing = rights::WRITE_DATA | rights::APPEND_DATA;
    if (S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) == 0) writing |= rights::DELETE_CHILD;
    const auto mask = [&](mode_t read, mode_t write) {
        return ((info.st_mode & read) != 0 ? rights::READ_DATA : 0) | ((info.st_mode & write) != 0 ? writing : 0);
    };
    std::vector<AccessEntry> dacl;
    if (const std::uint32_t others = mask(S_IROTH, S_IWOTH)) dacl.push_back(AccessEntry{Account{"everyone"}, others});
    if (const std::uint32_t group = mask(S_IRGRP, S_IWGRP))
        dacl.push_back(AccessEntry{Account{"group " + std::to_string(info.st_gid)}, group});
    permissions.dacl = std::move(dacl);
    return permissions;
}

Result<std::optional<EntryFacts>> read_entry(const std::filesystem::path& path) {
    // O_PATH with O_NOFOLLOW opens a symbolic link itself.
    const Descriptor fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) return std::optional<EntryFacts>();
        return fail(errno_error("open", errno));
    }
    struct stat info{};
    if (::fstat(fd.get(), &info) != 0) return fail(errno_error("fstat", errno));
    EntryFacts facts;
    facts.kind = S_ISLNK(info.st_mode)   ? EntryKind::Link
                 : S_ISDIR(info.st_mode) ? EntryKind::Folder
                 : S_ISREG(info.st_mode) ? EntryKind::File
                                         : EntryKind::Other;
    facts.permissions = permissions_of(info);
    return std::optional<EntryFacts>(std::move(facts));
}

}  // namespace velmor::trust
