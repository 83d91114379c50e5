#pragma once
// The log file with its size cap: past the cap, the writing process renames
// velmor-helper.log to velmor-helper.log.1 (replacing an older one) and
// starts a new file, so that at most two files of about the cap exist.
// Portable over the platform half in log_file.hpp. The log sink keeps one
// for the process and calls it under its own lock; tests make their own.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "env/log_file.hpp"

namespace velmor {

// Size past which the log file is rotated.
inline constexpr std::uint64_t LOG_SIZE_CAP = std::uint64_t{16} * 1024 * 1024;

class LogWriter {
public:
    // Opens (or creates) `file`; the rotated file is `file` with ".1" added.
    explicit LogWriter(std::filesystem::path file, std::uint64_t cap = LOG_SIZE_CAP);

    bool is_open() const { return file_ != nullptr; }

    // Writes one whole line; rotates first when the line would take the file
    // past the cap. A line longer than the cap is written to a fresh file.
    // A rotation that cannot be done leaves the line out of the file, so the
    // file never grows past the cap.
    void write_line(std::string_view line);

private:
    std::filesystem::path path_;
    std::filesystem::path rotated_path_;
    std::uint64_t cap_;
    std::unique_ptr<detail::LogFile> file_;
    // The file's size when last asked, plus what this process wrote since.
    // Another process may append to the same file, so the size is asked again
    // before a rotation and after every SIZE_RECHECK_BYTES of own writes.
    std::uint64_t size_ = 0;
    std::uint64_t written_since_check_ = 0;
};

}  // namespace velmor
