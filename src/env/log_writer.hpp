#pragma once
// The log file with its size cap: past the cap, the writing process renames
// velmor-helper.log to velmor-helper.log.1 (replacing an older one, also one
// that a reader holds open: with POSIX semantics, or by setting the old one
// aside first and removing it) and starts a new file, so that at most two
// files of about the cap exist.
// Portable over the platform half in log_file.hpp. The log sink keeps one
// for the process and calls it under its own lock; tests make their own.
//
// Nobody else can hold the log: a file that others may open (or that is a
// link, or whose check fails) is set aside as "{name}.untrusted-{time}", as
// the data folders are, and a fresh one made for this process alone. What
// others still do (a file held open without write or delete sharing) costs
// lines only for as long as they do it: a failed open is tried again at the
// next line, and a failed rotation keeps appending up to a hard cap.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "env/event_log.hpp"
#include "env/log_file.hpp"

namespace velmor {

// Size past which the log file is rotated.
inline constexpr std::uint64_t LOG_SIZE_CAP = std::uint64_t{16} * 1024 * 1024;
// While rotations fail, bytes offered between two tries.
inline constexpr std::uint64_t LOG_ROTATION_RETRY_BYTES = 64 * 1024;

// An event the writer asks the sink to report (outside the sink's lock).
struct LogEvent {
    EventId id;
    std::string text;
};

class LogWriter {
public:
    // Opens (or creates) `file`; the rotated file is `file` with ".1" added,
    // which is set aside now when others may open it. Where the volume keeps
    // no permissions (trust::permissions_kept) only links are set aside.
    explicit LogWriter(std::filesystem::path file, std::uint64_t cap = LOG_SIZE_CAP);

    // Writes one whole line, opening the file first when it is not open or
    // when its path no longer names it (renamed or removed by someone else,
    // another writer's rotation among them).
    // Rotates first when the line would take the file past the cap; a line
    // longer than the cap is written to a fresh file. While the rotation
    // fails the line is appended all the same, and the rotation is tried
    // again every LOG_ROTATION_RETRY_BYTES; past twice the cap one line
    // says so and nothing more is written until a rotation succeeds.
    void write_line(std::string_view line);

    // Closes the file; the next line opens it again.
    void close() { file_.reset(); }

    // The lines the writer wrote of its own accord (a file set aside, the
    // hard cap) since the last call, for the echo.
    std::vector<std::string> take_notices();

    // When the file has just become unwritable (an open failed, the hard cap
    // was reached), the event to report: once until a line is written again.
    std::optional<LogEvent> take_unwritable();

private:
    Result<std::unique_ptr<detail::LogFile>> open_checked();
    Result<> set_aside(const std::filesystem::path& path, const std::string& reason);
    // Renames the file to the rotated name, replacing what is there.
    Result<> rotate();
    void notice(std::string_view message);
    void unwritable(std::string text);

    std::filesystem::path path_;
    std::filesystem::path rotated_path_;
    std::uint64_t cap_;
    bool check_permissions_;
    std::unique_ptr<detail::LogFile> file_;
    // The file's size when last asked, plus what this process wrote since.
    // Another process may append to the same file, so the size is asked again
    // before a rotation and after every SIZE_RECHECK_BYTES of own writes.
    std::uint64_t size_ = 0;
    std::uint64_t written_since_check_ = 0;
    // While rotations fail: bytes offered since the last try, and whether the
    // hard cap's line is written.
    bool rotation_failing_ = false;
    std::uint64_t offered_since_try_ = 0;
    bool at_hard_cap_ = false;
    std::string rotation_error_;
    // An unwritable spell is reported once; a written line ends it.
    bool unwritable_reported_ = false;
    std::optional<LogEvent> unwritable_;
    std::vector<std::string> notices_;             // for the echo
    std::vector<std::string> unwritten_notices_;   // made while no file was open
};

}  // namespace velmor
