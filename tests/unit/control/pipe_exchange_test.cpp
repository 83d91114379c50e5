#include "control/pipe_exchange.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "base/os_error.hpp"

namespace velmor {
namespace {

using namespace std::chrono_literals;

// What one call of the connection does.
struct Step {
    enum Kind { done, more, fail, aborted, block, out_of_memory } kind = done;
    std::string bytes;        // read: the bytes; write: how many are taken (their count)
    std::uint32_t code = 0;   // fail: the call's code
};
Step bytes(std::string b) { return {Step::done, std::move(b)}; }
Step more(std::string b) { return {Step::more, std::move(b)}; }
Step fails(std::uint32_t code) { return {Step::fail, {}, code}; }
const Step BLOCKS{Step::block, {}, 0};
const Step ABORTED{Step::aborted, {}, 0};  // cancelled at once, by someone else than the watchdog
const Step NO_MEMORY{Step::out_of_memory, {}, 0};
const Step OK{};

// A client scripted call by call. A blocked call returns only when the
// watchdog's cancel reaches it, as CancelSynchronousIo does.
class ScriptedClient final : public PipeConnection {
public:
    ScriptedClient(std::vector<Step> reads, Step write, Step flush)
        : reads_(std::move(reads)), write_(std::move(write)), flush_(std::move(flush)) {}

    void cancel() {
        std::lock_guard lock(mutex_);
        if (blocked_) cancelled_ = true;
        woken_.notify_all();
    }

    IoOutcome read(char* buffer, std::size_t size) override {
        record('r');
        if (next_read_ == reads_.size()) return outcome(BLOCKS, "ReadFile");
        const Step& step = reads_[next_read_++];
        const std::size_t n = std::min(size, step.bytes.size());
        std::copy_n(step.bytes.data(), n, buffer);
        IoOutcome result = outcome(step, "ReadFile");
        result.bytes = n;
        return result;
    }
    IoOutcome write(std::string_view bytes) override {
        IoOutcome result = (record('w'), outcome(write_, "WriteFile"));
        if (result.status == IoStatus::done) {
            written += bytes;
            result.bytes = bytes.size();
        }
        return result;
    }
    IoOutcome flush() override { return record('w'), outcome(flush_, "FlushFileBuffers"); }

    std::string written;
    // Each call ('r' a read, 'w' a write or flush), when it was made and the watchdog's deadline then.
    struct Call { char kind; IoWatchdog::Clock::time_point at; std::optional<IoWatchdog::Clock::time_point> deadline; };
    std::vector<Call> calls;
    const IoWatchdog* watchdog = nullptr;

private:
    void record(char kind) { calls.push_back({kind, IoWatchdog::Clock::now(), watchdog->deadline()}); }

    IoOutcome outcome(const Step& step, std::string_view call) {
        switch (step.kind) {
        case Step::out_of_memory: throw std::bad_alloc();
        case Step::done: return {IoStatus::done, 0, std::nullopt};
        case Step::more: return {IoStatus::more_data, 0, std::nullopt};
        case Step::fail: return {IoStatus::failed, 0, call_error(call, step.code)};
        case Step::aborted: return {IoStatus::cancelled, 0, call_error(call, 995)};
        case Step::block: break;
        }
        std::unique_lock lock(mutex_);
        blocked_ = true;
        woken_.wait(lock, [&] { return cancelled_; });
        blocked_ = cancelled_ = false;
        return {IoStatus::cancelled, 0, call_error(call, 995)};
    }

    std::vector<Step> reads_;
    std::size_t next_read_ = 0;
    Step write_, flush_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool blocked_ = false, cancelled_ = false;
};

constexpr std::string_view PING = "{\"id\":\"p\",\"action\":\"ping\"}\n";
constexpr std::string_view PONG = "{\"id\":\"p\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n";
const ExchangeBounds SHORT{20ms, 60ms, 20ms};

enum class Answer { reply, refuse, out_of_memory };

// What the pipe server's threads saw only under Wine, one exchange each, and the bound each call ran
// under: 'f' the first bytes', 'r' the whole request's, 'w' the reply's, '-' none.
TEST(PipeExchange, ReadsOneLineWithinItsBoundsAndWaitsUntilTheReplyIsTaken) {
    const std::string ping(PING), pong(PONG);
    const struct {
        const char* label;
        std::vector<Step> reads;
        Answer answer;
        Step write, flush;
        std::optional<std::string> request;  // as handed to the answer
        std::string written;
        bool reply_taken;
        std::string error;  // the error's message, empty when none
        std::string bounds;
    } rows[] = {
        {"one read", {bytes(ping)}, Answer::reply, OK, OK, ping, pong, true, "", "fww"},
        {"a message longer than one read", {more("{\"id\":\"p\","), bytes("\"action\":\"ping\"}\n")}, Answer::reply,
         OK, OK, ping, pong, true, "", "frww"},
        {"an empty read is no first bytes", {more(""), bytes(ping)}, Answer::reply, OK, OK, ping, pong, true, "", "ffww"},
        {"an empty message ends the request", {bytes("{}"), bytes("")}, Answer::reply, OK, OK, "{}", pong, true, "", "frww"},
        {"the client closed without writing", {fails(109)}, Answer::reply, OK, OK, std::nullopt, "", false,
         "ReadFile failed: 109", "f"},
        {"a client that sends nothing", {}, Answer::reply, OK, OK, std::nullopt, "", false, "no request within 20 ms", "f"},
        {"a request never completed", {bytes("{\"id\"")}, Answer::reply, OK, OK, std::nullopt, "", false,
         "request not completed within 60 ms", "fr"},
        {"a read cancelled by someone else", {ABORTED}, Answer::reply, OK, OK, std::nullopt, "", false,
         "ReadFile failed: 995", "f"},
        {"memory runs out while gathering", {bytes("{"), NO_MEMORY}, Answer::reply, OK, OK, std::nullopt, "", false, "", "fr"},
        {"a write that never ends", {bytes(ping)}, Answer::reply, BLOCKS, OK, ping, "", false,
         "reply not read within 20 ms", "fw"},
        {"the handler refuses", {bytes("x\n")}, Answer::refuse, OK, OK, "x\n", "", false, "invalid request", "f"},
        {"the reply cannot be written", {bytes(ping)}, Answer::reply, fails(232), OK, ping, "", false,
         "WriteFile failed: 232", "fw"},
        {"a reply never read", {bytes(ping)}, Answer::reply, OK, BLOCKS, ping, pong, false,
         "reply not read within 20 ms", "fww"},
        {"a client gone before the flush", {bytes(ping)}, Answer::reply, OK, fails(109), ping, pong, true, "", "fww"},
        {"memory runs out while answering", {bytes(ping)}, Answer::out_of_memory, OK, OK, ping, "", false, "", "f"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        ScriptedClient client(row.reads, row.write, row.flush);
        IoWatchdog watchdog([&] { client.cancel(); }, 1ms);
        client.watchdog = &watchdog;
        std::optional<std::string> request;
        std::optional<IoWatchdog::Clock::time_point> answered;
        const auto begun = IoWatchdog::Clock::now();
        const ExchangeEnd end = run_exchange(
            client, watchdog,
            [&](std::string_view bytes) -> Result<std::string> {
                request = std::string(bytes);
                answered = IoWatchdog::Clock::now();
                if (row.answer == Answer::out_of_memory) throw std::bad_alloc();
                if (row.answer == Answer::refuse) return fail("invalid request");
                return std::string(PONG);
            },
            SHORT);
        EXPECT_EQ(request, row.request);
        EXPECT_EQ(client.written, row.written);
        EXPECT_EQ(end.reply_taken, row.reply_taken);
        EXPECT_EQ(end.out_of_memory, row.error.empty() && !row.reply_taken);
        EXPECT_EQ(end.error ? end.error->message() : "", row.error);
        // Nothing is watched once the exchange is over, however it ended.
        EXPECT_FALSE(watchdog.deadline());
        // Both read bounds count from the connection (between `begun` and the first call), the reply's from the answer.
        std::string bounds;
        const auto first = client.calls.at(0).deadline;
        const bool connected = first && *first >= begun + SHORT.first_bytes && *first <= client.calls[0].at + SHORT.first_bytes;
        for (const auto& [kind, at, d] : client.calls)
            bounds += !d ? '-'
                      : kind == 'r' && connected && *d == *first ? 'f'
                      : kind == 'r' && connected && *d == *first - SHORT.first_bytes + SHORT.request ? 'r'
                      : kind == 'w' && answered && *d >= *answered + SHORT.reply && *d <= at + SHORT.reply ? 'w' : '?';
        EXPECT_EQ(bounds, row.bounds);
    }
}

TEST(PipeExchange, DropsARequestPastTheLimitWithoutAnsweringIt) {
    // Reads of a full chunk each, never a line feed.
    std::vector<Step> reads(MAX_REQUEST_BYTES / READ_CHUNK_BYTES + 1, more(std::string(READ_CHUNK_BYTES, 'x')));
    ScriptedClient client(std::move(reads), OK, OK);
    IoWatchdog watchdog([&] { client.cancel(); }, 1ms);
    client.watchdog = &watchdog;
    bool answered = false;
    const ExchangeEnd end = run_exchange(client, watchdog, [&](std::string_view) -> Result<std::string> {
        answered = true;
        return std::string(PONG);
    });
    EXPECT_FALSE(answered);
    ASSERT_TRUE(end.error);
    EXPECT_EQ(end.error->message(), "request larger than 33554432 bytes");
    EXPECT_EQ(client.written, "");
}

}  // namespace
}  // namespace velmor
