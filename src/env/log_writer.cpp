#include "env/log_writer.hpp"

#include <utility>

#include "base/file_ops.hpp"
#include "base/path.hpp"
#include "env/log.hpp"
#include "trust/entry.hpp"

namespace velmor {
namespace {
constexpr std::uint64_t SIZE_RECHECK_BYTES = 64 * 1024;
// Set-asides one open may take before giving up on someone who keeps
// putting a file back.
constexpr int MAX_SET_ASIDES = 4;
}  // namespace

LogWriter::LogWriter(std::filesystem::path file, std::uint64_t cap)
    : path_(std::move(file)), cap_(cap), check_permissions_(trust::permissions_kept(path_.parent_path())) {
    rotated_path_ = path_;
    rotated_path_ += ".1";
    // The rotated file is checked as found: whoever may open it can hold it
    // and make every rotation fail. It is read by path; a failed read counts
    // as a problem.
    Result<std::optional<trust::EntryFacts>> rotated = trust::read_entry(rotated_path_);
    std::optional<std::string> problem;
    if (!rotated) {
        problem = "it cannot be checked: " + rotated.error().one_line();
    } else if (*rotated) {
        if (!check_permissions_) (*rotated)->permissions.reset();
        problem = trust::entry_problem(**rotated, trust::EntryKind::File, trust::TrustRole::Private);
    }
    if (problem) {
        if (Result<> aside = set_aside(rotated_path_, *problem); !aside)
            notice("log: cannot set aside " + path_to_utf8(rotated_path_) + " (" + *problem + "): " + aside.error().one_line());
    }
    write_line({});
}

Result<> LogWriter::set_aside(const std::filesystem::path& path, const std::string& reason) {
    Result<std::optional<std::filesystem::path>> aside = trust::set_entry_aside(path);
    if (!aside) return fail(std::move(aside.error()));
    if (*aside) notice("log: set aside " + path_to_utf8(path) + " as " + path_to_utf8(**aside) + ": " + reason);
    return {};
}

Result<> LogWriter::rotate() {
    // Renamed by path: a file opened with delete sharing may be renamed
    // while open, by us and by another process that logs to it. With POSIX
    // semantics a handle someone holds on the rotated file does not keep it
    // from being replaced.
    constexpr file_ops::Rename REPLACE = file_ops::Rename::ReplaceEvenIfOpen;
    Result<> replaced = file_ops::rename_file(path_, rotated_path_, REPLACE);
    if (replaced) return replaced;
    // Where renames have no POSIX semantics, a handle on the rotated file
    // (anyone who may list the folder can open one for its attributes) keeps
    // it from being replaced, though not from being renamed: it is set aside
    // and removed (gone once its holder lets go). Anything but a file there
    // is left as it is.
    const Result<std::optional<trust::EntryFacts>> old = trust::read_entry(rotated_path_);
    if (!old || !*old || (*old)->kind != trust::EntryKind::File) return replaced;
    const Result<std::optional<std::filesystem::path>> aside = trust::set_entry_aside(rotated_path_);
    if (!aside || !*aside) return replaced;
    replaced = file_ops::rename_file(path_, rotated_path_, REPLACE);
    if (replaced) {
        std::error_code ignored;
        std::filesystem::remove(**aside, ignored);
    } else {
        // The log itself could not be moved: the previous rotated log is kept.
        (void)file_ops::rename_file(**aside, rotated_path_, file_ops::Rename::ReplaceExisting);
    }
    return replaced;
}

Result<std::unique_ptr<detail::LogFile>> LogWriter::open_checked() {
    for (int step = 0; step < MAX_SET_ASIDES; ++step) {
        Result<std::unique_ptr<detail::LogFile>> opened = detail::LogFile::open(path_);
        if (!opened || (*opened)->created()) return opened;
        // Fail closed: a file whose check fails is set aside too.
        Result<std::optional<std::string>> problem = (*opened)->security_problem(check_permissions_);
        if (problem && !*problem) return opened;
        const std::string reason = problem ? std::move(**problem) : "it cannot be checked: " + problem.error().one_line();
        opened->reset();
        if (Result<> aside = set_aside(path_, reason); !aside)
            return fail(aside.error().context("cannot set it aside (" + reason + ")"));
    }
    return fail("a file was put back in its place every time it was set aside");
}

void LogWriter::notice(std::string_view message) {
    notices_.push_back(format_log_line(system_time_intervals(), message));
    if (!file_) {
        unwritten_notices_.push_back(notices_.back());
        return;
    }
    file_->write_all(notices_.back());
    size_ += notices_.back().size();
}

void LogWriter::unwritable(std::string text) {
    if (unwritable_reported_) return;
    unwritable_reported_ = true;
    unwritable_ = LogEvent{EventId::log_not_writable,
                           "log file not writable: " + path_to_utf8(path_) + ": " + std::move(text)};
}

std::vector<std::string> LogWriter::take_notices() { return std::exchange(notices_, {}); }

std::optional<LogEvent> LogWriter::take_unwritable() { return std::exchange(unwritable_, std::nullopt); }

void LogWriter::write_line(std::string_view line) {
    // Another writer of this log (a second helper in the same folder) may
    // have rotated it since the last line: renamed it to the rotated name
    // and started a new file. Lines go to the file the path names, never to
    // the one renamed, so the path is compared with the open file before
    // every line; no cheaper sign tells a rename apart (the size and the
    // handle stay as they were), and one look by path costs little beside a
    // write to disk. A comparison that fails counts as a rename: the file is
    // opened again by its path.
    if (file_) {
        const Result<bool> in_place = file_->is_at(path_);
        if (!in_place || !*in_place) file_.reset();
    }
    if (!file_) {
        Result<std::unique_ptr<detail::LogFile>> opened = open_checked();
        if (!opened) return unwritable(opened.error().one_line());
        file_ = std::move(*opened);
        size_ = file_->size().value_or(0);
        written_since_check_ = 0;
        // Notices (of a set-aside) made while no file was open.
        for (const std::string& earlier : std::exchange(unwritten_notices_, {})) {
            file_->write_all(earlier);
            size_ += earlier.size();
        }
    }
    const std::uint64_t length = line.size();
    if (length == 0) return;
    if (size_ + length > cap_ || written_since_check_ >= SIZE_RECHECK_BYTES) {
        if (const auto actual = file_->size()) size_ = *actual;
        written_since_check_ = 0;
    }
    if (size_ > 0 && size_ + length > cap_ && (!rotation_failing_ || offered_since_try_ >= LOG_ROTATION_RETRY_BYTES)) {
        offered_since_try_ = 0;
        Result<> rotated = rotate();
        if (rotated) {
            rotation_failing_ = false;
            at_hard_cap_ = false;
            file_.reset();
            return write_line(line);  // opens the fresh file
        }
        rotation_failing_ = true;
        rotation_error_ = rotated.error().one_line();
    }
    offered_since_try_ += length;
    if (rotation_failing_ && size_ + length > 2 * cap_) {
        if (!at_hard_cap_) {
            at_hard_cap_ = true;
            notice("log file full: it cannot be rotated (" + rotation_error_ +
                   "); no more lines are written until it can be");
            unwritable("full and cannot be rotated: " + rotation_error_);
        }
        return;
    }
    file_->write_all(line);
    size_ += length;
    written_since_check_ += length;
    unwritable_reported_ = false;
}

}  // namespace velmor
