#include "velmor-ctl/log_viewer.hpp"

#include <limits>

#include "base/text.hpp"

namespace velmor::ctl {

std::string LogLines::add(std::string_view bytes) {
    partial_.append(bytes);
    std::string out;
    std::size_t start = 0;
    for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1)
        print(std::string_view(partial_).substr(start, end - start), out);
    partial_.erase(0, start);
    return out;
}

std::string LogLines::finish() {
    std::string out;
    if (!partial_.empty()) print(partial_, out);
    partial_.clear();
    return out;
}

void LogLines::print(std::string_view line, std::string& out) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::optional<std::string> shown = filter_.next(line);
    if (!shown) return;
    out += escape_for_log(*shown, std::numeric_limits<std::size_t>::max());
    out += '\n';
}

Result<std::string> follow_round(FollowedLog& log, LogLines& lines) {
    const bool rotated = log.replaced();
    Result<std::string> read = log.read_new();
    if (!read) return read;
    std::string out = lines.add(*read);
    if (!rotated) return out;
    out += lines.finish();
    // A file not made again yet is looked for next round: replaced() stays true.
    static_cast<void>(log.reopen());
    return out;
}

}  // namespace velmor::ctl
