#pragma once
// velmor-ctl's `log`: the lines of a log file as people read them, also as
// they are written (--follow), across the helper's rotation of the file.
// The portable part turns bytes into printed lines and decides each round
// of --follow; log_viewer_win32.cpp opens and reads the files. Main thread.

#include <filesystem>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "velmor-ctl/ctl_command_line.hpp"
#include "velmor-ctl/log_time.hpp"

namespace velmor::ctl {

// Bytes of one file in, printed text out: each whole line through the
// filter (ISO times, --since), then escaped as the log escapes (the
// helper's own lines come out unchanged; any other file's control
// characters cannot reach the terminal), each with a line feed. A line's
// final carriage return belongs to its line end and is dropped.
class LogLines {
public:
    explicit LogLines(LogLineFilter filter) : filter_(std::move(filter)) {}
    // Every line that `bytes` completes.
    std::string add(std::string_view bytes);
    // The last line, when it has no line feed yet: the file ends there.
    std::string finish();

private:
    void print(std::string_view line, std::string& out);
    LogLineFilter filter_;
    std::string partial_;  // the start of a line whose line feed has not come yet
};

// The followed file as the platform sees it.
class FollowedLog {
public:
    virtual ~FollowedLog() = default;
    // Whatever was appended to the open file since the last read.
    virtual Result<std::string> read_new() = 0;
    // Whether the path now names another file than the open one.
    virtual bool replaced() = 0;
    // Opens the file at the path again, in place of the open one.
    virtual Result<> reopen() = 0;
};

// One round of --follow: what to print. The rotation is looked for before
// the read, so that every line written to the old file before its rename is
// printed, its last line too; then the new file is followed from its start.
// A new file that cannot be opened yet is looked for again next round.
Result<std::string> follow_round(FollowedLog& log, LogLines& lines);

// The `log` command (Windows): exit status 0, or 2 when no log could be read.
int run_log(const CtlCommand& command);

// The log next to the velmor-helper service's executable (Windows).
Result<std::filesystem::path> service_log_path();

// The whole file at `path` as `log --local` prints it (Windows). A file
// that is not there fails with the system code ERROR_FILE_NOT_FOUND.
Result<std::string> readable_local_log(const std::filesystem::path& path);

}  // namespace velmor::ctl
