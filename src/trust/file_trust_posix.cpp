#include "trust/file_trust_posix.hpp"

#include <unistd.h>

#include <string>

namespace velmor::trust {

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

}  // namespace velmor::trust
