#include "control/pipe_exchange.hpp"

#include <new>
#include <vector>

namespace velmor {
namespace {

// "1 s" for the bounds clients know; tests pass shorter ones.
std::string bound_text(std::chrono::milliseconds bound) {
    if (bound.count() % 1000 == 0) return std::to_string(bound.count() / 1000) + " s";
    return std::to_string(bound.count()) + " ms";
}

// A call that failed: the watchdog's bound when it cancelled the call,
// else the call's own error.
Error failure(const IoOutcome& outcome, bool timed_out, std::string timeout_text) {
    if (timed_out && outcome.status == IoStatus::cancelled) return Error(std::move(timeout_text));
    return outcome.error ? *outcome.error : Error("pipe call failed without an error");
}

ExchangeEnd ended(Error error) { return {.reply_taken = false, .out_of_memory = false, .error = std::move(error)}; }

ExchangeEnd exchange(PipeConnection& connection, IoWatchdog& watchdog, const RequestAnswer& answer,
                     const ExchangeBounds& bounds) {
    const auto connected = IoWatchdog::Clock::now();
    // Nothing yet: the short bound for a client that sends nothing; after
    // the first bytes, the bound for the whole request.
    bool started = false;
    const auto timeout = [&] {
        return started ? "request not completed within " + bound_text(bounds.request)
                       : "no request within " + bound_text(bounds.first_bytes);
    };
    watchdog.arm(connected + bounds.first_bytes);
    RequestGatherer gatherer;
    std::vector<char> chunk(READ_CHUNK_BYTES);
    while (gatherer.state() == GatherState::NeedMore) {
        if (watchdog.expired()) {
            watchdog.disarm();
            return ended(Error(timeout()));
        }
        const IoOutcome read = connection.read(chunk.data(), chunk.size());
        if (read.status == IoStatus::cancelled || read.status == IoStatus::failed)
            return ended(failure(read, watchdog.disarm(), timeout()));
        // A message longer than one read goes on; an empty one ends the request.
        if (read.status == IoStatus::more_data && read.bytes == 0) continue;
        if (!started && read.bytes > 0) {
            started = true;
            watchdog.arm(connected + bounds.request);
        }
        gatherer.add(std::string_view(chunk.data(), read.bytes));
    }
    watchdog.disarm();
    if (gatherer.state() == GatherState::TooLarge)
        return ended(Error("request larger than " + std::to_string(MAX_REQUEST_BYTES) + " bytes"));

    Result<std::string> reply = answer(gatherer.bytes());
    if (!reply) return ended(std::move(reply.error()));

    const std::string reply_timeout = "reply not read within " + bound_text(bounds.reply);
    watchdog.arm(IoWatchdog::Clock::now() + bounds.reply);
    std::string_view rest = *reply;
    while (!rest.empty()) {
        const IoOutcome written = connection.write(rest);
        if (written.status != IoStatus::done) return ended(failure(written, watchdog.disarm(), reply_timeout));
        if (written.bytes == 0) break;
        rest.remove_prefix(written.bytes);
    }
    // A client that went away makes the flush fail, which needs no report.
    const IoOutcome flushed = connection.flush();
    const bool timed_out = watchdog.disarm();
    if (flushed.status == IoStatus::cancelled && timed_out) return ended(Error(reply_timeout));
    return {.reply_taken = true, .out_of_memory = false, .error = std::nullopt};
}

}  // namespace

ExchangeEnd run_exchange(PipeConnection& connection, IoWatchdog& watchdog, const RequestAnswer& answer,
                         const ExchangeBounds& bounds) noexcept {
    try {
        return exchange(connection, watchdog, answer, bounds);
    } catch (const std::bad_alloc&) {
        // Armed still when an allocation failed mid-read.
        watchdog.disarm();
        return {.reply_taken = false, .out_of_memory = true, .error = std::nullopt};
    }
}

}  // namespace velmor
