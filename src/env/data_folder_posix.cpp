// The POSIX analogue of the Windows data folder, with owner and mode bits,
// so that the decisions run natively against permissions that are really
// enforced.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "base/file_ops.hpp"
#include "base/native_handle.hpp"
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
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return fail(os_error(last_os_error_code()));
    return {};
}

namespace detail {

Result<bool> create_protected_folder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0755) == 0) return true;
    if (errno == EEXIST) return false;
    return fail(last_call_error("mkdir"));
}

Result<> reset_folder_security(const std::filesystem::path& path, const trust::EntryIdentity& identity) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return fail(last_call_error("open"));
    const NativeHandle held(fd);
    struct stat info{};
    if (::fstat(fd, &info) != 0) return fail(last_call_error("fstat"));
    if (!(trust::EntryIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino), 0} ==
          identity))
        return fail("replaced while it was being checked");
    if (::fchown(fd, ::geteuid(), static_cast<gid_t>(-1)) != 0) return fail(last_call_error("fchown"));
    if (::fchmod(fd, 0755) != 0) return fail(last_call_error("fchmod"));
    return {};
}

Result<Comparison> compare_with(const std::filesystem::path& source, const std::filesystem::path& copy,
                                std::optional<Error>& held_by) {
    struct stat info{};
    if (::lstat(copy.c_str(), &info) != 0) {
        if (errno == ENOENT) return Comparison::Missing;
        return fail(last_call_error("lstat"));
    }
    if (!S_ISREG(info.st_mode)) return Comparison::Different;
    // Opened as Windows opens it, never following a link put there since.
    const int held = ::open(copy.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (held < 0) {
        held_by = last_call_error("open");
        return Comparison::Held;
    }
    ::close(held);
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

Result<> rename_replacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    Result<> moved = file_ops::rename_file(from, to, file_ops::Rename::ReplaceExisting);
    if (!moved) return fail(os_error(moved.error().system_code().value_or(0)));
    return {};
}

Result<> make_private_copy(const std::filesystem::path& copy) {
    if (::chmod(copy.c_str(), 0600) != 0) return fail(os_error(last_os_error_code()));
    return {};
}

void remove_file_quietly(const std::filesystem::path& path) { ::unlink(path.c_str()); }

std::filesystem::path::string_type temporary_copy_suffix() {
    return "." + std::to_string(::getpid()) + ".tmp";
}

}  // namespace detail
}  // namespace velmor
