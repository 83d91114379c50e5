#pragma once
// Gathering one request from the control pipe, and the bounds that keep one
// client from holding the server. Portable: the pipe server feeds it the
// bytes of each read.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace velmor {

// Bytes of one read from the pipe.
inline constexpr std::size_t READ_CHUNK_BYTES = 4096;

// The longest request line accepted. The largest valid request carries a
// 4 MiB configuration, which may grow sixfold when escaped inside a JSON
// string; anything past this is no request.
inline constexpr std::size_t MAX_REQUEST_BYTES = std::size_t{32} * 1024 * 1024;

// Time a connected client has to send the first bytes of its request: a
// client that connects and sends nothing holds an instance no longer.
inline constexpr std::chrono::seconds FIRST_BYTES_TIMEOUT{1};

// Time a connected client has to complete its request line.
inline constexpr std::chrono::seconds REQUEST_TIMEOUT{10};

// Time a client has to take its reply before it is disconnected.
inline constexpr std::chrono::seconds REPLY_TIMEOUT{5};

// What the log says when an exchange ends because memory ran out while
// gathering, parsing or answering it.
inline constexpr std::string_view OUT_OF_MEMORY_TEXT = "request dropped: out of memory";

enum class GatherState {
    NeedMore,  // no line feed yet: read on
    Complete,  // a line feed arrived, or a read returned no bytes
    TooLarge,  // more than MAX_REQUEST_BYTES before any line feed
};

// The bytes of one request as they arrive, read after read. Each call looks
// for the line feed only in the bytes it adds, so gathering a long request
// costs time in proportion to its length.
class RequestGatherer {
public:
    explicit RequestGatherer(std::size_t max_bytes = MAX_REQUEST_BYTES) : max_bytes_(max_bytes) {}

    // Adds the bytes of one read. A read of zero bytes (an empty message, or
    // the end of the data) completes the request. Throws std::bad_alloc when
    // the buffer cannot grow.
    GatherState add(std::string_view bytes);

    GatherState state() const { return state_; }

    // Everything gathered so far, up to and including the line feed.
    const std::string& bytes() const { return bytes_; }

private:
    std::size_t max_bytes_;
    std::string bytes_;
    GatherState state_ = GatherState::NeedMore;
};

}  // namespace velmor
