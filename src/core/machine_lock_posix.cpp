#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "core/machine_lock.hpp"

namespace velmor {
namespace {

// The lock's file: the name with its separators turned into dots, in the
// temporary folder.
std::filesystem::path lock_file_path(std::string_view name) {
    std::string file(name);
    for (char& c : file)
        if (c == '\\' || c == '/') c = '.';
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    if (ec) folder = "/tmp";
    return folder / (file + ".lock");
}

}  // namespace

MachineLock::MachineLock(MachineLock&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

MachineLock::~MachineLock() {
    if (handle_ < 0) return;
    const int fd = static_cast<int>(handle_);
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

std::optional<MachineLock> acquire_machine_lock(std::string_view name) {
    // flock locks belong to the open file description, so a second open in
    // the same process conflicts like another process would, and the kernel
    // drops the lock of a process that dies.
    const int fd = ::open(lock_file_path(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return std::nullopt;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return MachineLock(fd);
}

}  // namespace velmor
