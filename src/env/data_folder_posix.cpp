#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
