#pragma once
// The size-then-retry loop of the system's queries that fill a caller's
// buffer (RegGetValueW, RegGetKeySecurity, QueryServiceConfigW, ...): they
// answer "too small" with the size they need, and what they describe may
// grow between two calls, so the call is made again with the size asked, a
// bounded number of times. Written once here; each caller says which status
// means "too small". Any thread.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmor {

template <typename Status, typename Size>
struct SizedAnswer {
    Status status;
    // 8-byte aligned, for the structures the queries write.
    std::vector<std::uint64_t> buffer;
    // On success the bytes written, after "too small" the bytes needed, as
    // the query left them.
    Size bytes{};

    void* data() { return buffer.data(); }
    const void* data() const { return buffer.data(); }
};

// Calls `query(void* data, Size& bytes)` with a buffer of at least
// `first_bytes` bytes and `bytes` its size; while it returns `too_small`, again
// with a buffer of the size it then left in `bytes` (larger than the last one
// in any case), at most `attempts` calls in all. The last call's status,
// buffer and size are the answer.
template <typename Status, typename Size, typename Query>
SizedAnswer<Status, Size> query_sized(Query&& query, Status too_small, Size first_bytes, int attempts = 4) {
    constexpr std::size_t WORD = sizeof(std::uint64_t);
    std::size_t wanted = first_bytes;
    for (int attempt = 1;; ++attempt) {
        SizedAnswer<Status, Size> answer{too_small, std::vector<std::uint64_t>(wanted / WORD + 1), {}};
        const std::size_t capacity = answer.buffer.size() * WORD;
        answer.bytes = static_cast<Size>(capacity);
        answer.status = query(static_cast<void*>(answer.buffer.data()), answer.bytes);
        if (answer.status != too_small || attempt >= attempts) return answer;
        wanted = std::max<std::size_t>(answer.bytes, capacity + 1);
    }
}

}  // namespace velmor
