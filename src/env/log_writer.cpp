#include "env/log_writer.hpp"

#include <utility>

namespace velmor {
namespace {
constexpr std::uint64_t SIZE_RECHECK_BYTES = 64 * 1024;
}

LogWriter::LogWriter(std::filesystem::path file, std::uint64_t cap)
    : path_(std::move(file)), cap_(cap), file_(detail::LogFile::open(path_)) {
    rotated_path_ = path_;
    rotated_path_ += ".1";
    if (file_) size_ = file_->size().value_or(0);
}

void LogWriter::write_line(std::string_view line) {
    if (!file_) return;
    const std::uint64_t length = line.size();
    if (size_ + length > cap_ || written_since_check_ >= SIZE_RECHECK_BYTES) {
        if (const auto actual = file_->size()) size_ = *actual;
        written_since_check_ = 0;
    }
    if (size_ > 0 && size_ + length > cap_) {
        // Renamed by path: a file opened with delete sharing may be renamed
        // while open, by us and by another process that logs to it.
        if (!detail::replace_file(path_, rotated_path_)) return;
        std::unique_ptr<detail::LogFile> fresh = detail::LogFile::open(path_);
        if (!fresh) {
            file_.reset();
            return;
        }
        file_ = std::move(fresh);
        size_ = file_->size().value_or(0);
    }
    file_->write_all(line);
    size_ += length;
    written_since_check_ += length;
}

}  // namespace velmor
