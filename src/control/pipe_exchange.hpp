#pragma once
// One exchange on a connected instance of the control pipe: one request line
// read within its bounds, its answer written, and the wait until the client
// has taken it (disconnecting discards what the client has not read yet).
// Portable: the pipe server passes its instance behind PipeConnection and
// its thread's watchdog, whose cancel aborts the connection's blocked call.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "control/pipe_request.hpp"
#include "control/pipe_watchdog.hpp"

namespace velmor {

enum class IoStatus {
    done,       // the call completed
    more_data,  // a read filled the buffer and its message goes on
    cancelled,  // aborted, by the watchdog or by whoever else cancels the thread's I/O
    failed,     // any other failure
};

struct IoOutcome {
    IoStatus status = IoStatus::done;
    std::size_t bytes = 0;
    std::optional<Error> error;  // cancelled or failed: the call and its code
};

// A connected client, called from the serving thread only. Each call may
// block until it completes or the watchdog's cancel aborts it.
class PipeConnection {
public:
    virtual ~PipeConnection() = default;
    // One read of at most `size` bytes of the client's message.
    virtual IoOutcome read(char* buffer, std::size_t size) = 0;
    virtual IoOutcome write(std::string_view bytes) = 0;
    // Returns once the client has read everything written.
    virtual IoOutcome flush() = 0;
};

struct ExchangeBounds {
    std::chrono::milliseconds first_bytes = FIRST_BYTES_TIMEOUT;
    std::chrono::milliseconds request = REQUEST_TIMEOUT;
    std::chrono::milliseconds reply = REPLY_TIMEOUT;
};

// The reply line to a complete request, or the handling error (no reply).
// May throw std::bad_alloc.
using RequestAnswer = std::function<Result<std::string>(std::string_view request)>;

struct ExchangeEnd {
    // The client took its reply, or went away while taking it: its share of
    // the pipe is free again.
    bool reply_taken = false;
    // Memory ran out while gathering, answering or replying: the exchange was
    // dropped (OUT_OF_MEMORY_TEXT), no error text could be made.
    bool out_of_memory = false;
    // Why the exchange ended without a reply taken.
    std::optional<Error> error;
};

// Runs one exchange on the serving thread. The watchdog is disarmed when it
// returns; nothing escapes it.
ExchangeEnd run_exchange(PipeConnection& connection, IoWatchdog& watchdog, const RequestAnswer& answer,
                         const ExchangeBounds& bounds = {}) noexcept;

}  // namespace velmor
