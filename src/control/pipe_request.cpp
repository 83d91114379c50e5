#include "control/pipe_request.hpp"

#include <algorithm>

namespace velmor {

GatherState RequestGatherer::add(std::string_view bytes) {
    if (state_ != GatherState::NeedMore) return state_;
    if (bytes.empty()) return state_ = GatherState::Complete;

    const std::size_t scanned = bytes_.size();
    const std::size_t line_feed = bytes.find('\n');
    if (line_feed != std::string_view::npos) {
        // The line is what counts; bytes after it are never looked at.
        if (scanned + line_feed > max_bytes_) return state_ = GatherState::TooLarge;
        bytes_.append(bytes.substr(0, line_feed + 1));
        return state_ = GatherState::Complete;
    }
    if (bytes.size() > max_bytes_ - std::min(scanned, max_bytes_)) {
        bytes_.clear();
        bytes_.shrink_to_fit();
        return state_ = GatherState::TooLarge;
    }
    bytes_.append(bytes);
    return state_;
}

}  // namespace velmor
