#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/os_error.hpp"
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

// Unlocked first: a forked child's copy of the descriptor would keep it.
MachineLock::~MachineLock() {
    if (handle_) ::flock(static_cast<int>(handle_.get()), LOCK_UN);
}

Result<MachineLock> acquire_machine_lock(std::string_view name) {
    // flock locks belong to the open file description, so a second open in
    // the same process conflicts like another process would, and the kernel
    // drops the lock of a process that dies.
    const std::filesystem::path file = lock_file_path(name);
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        // A lock file someone else made with a mode that keeps us out, as a
        // mutex whose DACL refuses us.
        const std::uint32_t code = last_os_error_code();
        const bool refused = code == EACCES || code == EPERM;
        return fail(machine_lock_unopenable(refused ? LockOpenFailure::Refused : LockOpenFailure::Other,
                                            call_error("open", code), [&]() -> Result<std::string> {
                                                struct stat info{};
                                                if (::lstat(file.c_str(), &info) != 0) return fail(last_call_error("lstat"));
                                                return "uid " + std::to_string(info.st_uid);
                                            }()));
    }
    NativeHandle held(fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return MachineLock(std::move(held));
    const std::uint32_t code = last_os_error_code();
    Error refusal = code == EWOULDBLOCK ? machine_lock_refusal([&]() -> Result<std::string> {
        // The lock file's owner is who made it first.
        struct stat info{};
        if (::fstat(fd, &info) != 0) return fail(last_call_error("fstat"));
        return "uid " + std::to_string(info.st_uid);
    }())
                                        : Error(std::string(MACHINE_LOCK_BUSY_ERROR), call_error("flock", code));
    return fail(std::move(refusal));
}

}  // namespace velmor
