#include "control/pipe_request.hpp"

#include <algorithm>
#include <atomic>
#include <new>

namespace velmor {
namespace {

std::atomic<int> g_allocation_failures{0};

void take_injected_failure() {
    int left = g_allocation_failures.load();
    while (left > 0) {
        if (g_allocation_failures.compare_exchange_weak(left, left - 1)) throw std::bad_alloc();
    }
}

}  // namespace

namespace detail {
void fail_request_allocations_for_testing(int count) { g_allocation_failures.store(count); }
}  // namespace detail

GatherState RequestGatherer::add(std::string_view bytes) {
    if (state_ != GatherState::NeedMore) return state_;
    if (bytes.empty()) return state_ = GatherState::Complete;
    take_injected_failure();

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
