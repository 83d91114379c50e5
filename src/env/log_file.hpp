#pragma once
// The platform half of the log sink: the append-only file, the echo, the clock.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "base/native_handle.hpp"

namespace velmor::detail {

class LogFile {
public:
    // Opens for appending. A missing file is created for this process alone
    // (Windows: a protected DACL giving SYSTEM, the Administrators and the
    // process's user full control and nobody else anything; POSIX: mode
    // 0600); an existing one is opened as it is, a link as the link itself.
    static Result<std::unique_ptr<LogFile>> open(const std::filesystem::path& path);
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // True when open created the file.
    bool created() const { return created_; }

    // Why someone else may open the file, read through this handle
    // (trust::entry_problem for a private file, with `permissions` its owner
    // and DACL too): none when nobody else may; an error when it cannot be
    // read.
    Result<std::optional<std::string>> security_problem(bool permissions) const;

    // Writes every byte, or stops at the first failed or empty write.
    void write_all(std::string_view bytes);

    // The file's current size, also counting what other processes appended.
    std::optional<std::uint64_t> size() const;

    // True when `path` names the file this handle writes (the same volume
    // and file id); false when it names another file or nothing; an error
    // when that cannot be told.
    Result<bool> is_at(const std::filesystem::path& path) const;

private:
    LogFile(NativeHandle handle, bool created) : handle_(std::move(handle)), created_(created) {}
    NativeHandle handle_;
    bool created_;
};

// Writes the line to standard error as one unit; a missing or broken
// standard error is ignored.
void echo_to_stderr(std::string_view line);

}  // namespace velmor::detail
