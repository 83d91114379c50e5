#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

#include "base/os_error.hpp"
#include "env/data_folder.hpp"

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
namespace {

// Only root and this process's user may own the folder, and no one else may
// write it.
bool mode_is_safe(const struct stat& info) {
    return (info.st_uid == 0 || info.st_uid == ::geteuid()) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

// The analogue of the Windows descriptor with owner and mode bits: new
// folders 0755 (before the umask), an unsafe one taken over and set to 0755.
Result<FolderOutcome> secure_folder(const std::filesystem::path& folder, bool create) {
    FolderOutcome outcome;
    for (int round = 0; round < 3; ++round) {
        struct stat info{};
        if (::lstat(folder.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            // unlink removes the link itself, never its target.
            if (::unlink(folder.c_str()) != 0) return fail(os_error(static_cast<std::uint32_t>(errno)));
            outcome.link_removed = true;
            continue;
        }
        if (::lstat(folder.c_str(), &info) != 0) {
            if (!create) return outcome;
            if (::mkdir(folder.c_str(), 0755) == 0) {
                outcome.state = FolderState::Created;
                return outcome;
            }
            if (errno != EEXIST) return outcome;
            continue;
        }
        if (!S_ISDIR(info.st_mode)) return outcome;
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ELOOP) continue;
            outcome.state = FolderState::RepairFailed;
            outcome.repair_error = os_error(static_cast<std::uint32_t>(errno));
            return outcome;
        }
        struct stat opened{};
        const bool read = ::fstat(fd, &opened) == 0;
        if (read && mode_is_safe(opened)) {
            ::close(fd);
            outcome.state = FolderState::Safe;
            return outcome;
        }
        int code = read ? 0 : errno;
        if (code == 0 && opened.st_uid != 0 && opened.st_uid != ::geteuid() && ::fchown(fd, ::geteuid(), static_cast<gid_t>(-1)) != 0)
            code = errno;
        if (code == 0 && ::fchmod(fd, 0755) != 0) code = errno;
        ::close(fd);
        if (code != 0) {
            outcome.state = FolderState::RepairFailed;
            outcome.repair_error = Error("cannot take the folder over", os_error(static_cast<std::uint32_t>(code)));
            return outcome;
        }
        outcome.state = FolderState::Repaired;
        return outcome;
    }
    return outcome;
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

Result<PlaceOutcome> rename_without_replacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    // A hard link fails when the name is taken, which makes the placing
    // atomic without replacing; the temporary name is then removed.
    if (::link(from.c_str(), to.c_str()) != 0) {
        const int code = errno;
        if (code == EEXIST) return PlaceOutcome::AlreadyPresent;
        return fail(os_error(static_cast<std::uint32_t>(code)));
    }
    ::unlink(from.c_str());
    return PlaceOutcome::Placed;
}

void remove_file_quietly(const std::filesystem::path& path) { ::unlink(path.c_str()); }

std::filesystem::path::string_type temporary_copy_suffix() {
    return "." + std::to_string(::getpid()) + ".tmp";
}

}  // namespace detail
}  // namespace velmor
