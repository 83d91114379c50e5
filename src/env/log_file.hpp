#pragma once
// The platform half of the log sink: the append-only file, the echo, the clock.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

namespace velmor::detail {

class LogFile {
public:
    // Opens for appending, creating the file when missing; null on failure.
    static std::unique_ptr<LogFile> open(const std::filesystem::path& path);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Writes every byte, or stops at the first failed or empty write.
    void write_all(std::string_view bytes);

    // The file's current size, also counting what other processes appended.
    std::optional<std::uint64_t> size() const;

private:
    explicit LogFile(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_;
};

// Renames `from` to `to`, replacing `to`; false when that cannot be done.
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

// Writes the line to standard error as one unit; a missing or broken
// standard error is ignored.
void echo_to_stderr(std::string_view line);

}  // namespace velmor::detail
