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
    enum Kind { done, more, fail, aborted, block } kind = done;
    std::string bytes;        // read: the bytes; write: how many are taken (their count)
    std::uint32_t code = 0;   // fail: the call's code
};
Step bytes(std::string b) { return {Step::done, std::move(b)}; }
Step more(std::string b) { return {Step::more, std::move(b)}; }
Step fails(std::uint32_t code) { return {Step::fail, {}, code}; }
const Step BLOCKS{Step::block, {}, 0};
const Step ABORTED{Step::aborted, {}, 0};  // cancelled at once, by someone else than the watchdog
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
        if (next_read_ == reads_.size()) return outcome(BLOCKS, "ReadFile");
        const Step& step = reads_[next_read_++];
        const std::size_t n = std::min(size, step.bytes.size());
        std::copy_n(step.bytes.data(), n, buffer);
        IoOutcome result = outcome(step, "ReadFile");
        result.bytes = n;
        return result;
    }
    IoOutcome write(std::string_view bytes) override {
        IoOutcome result = outcome(write_, "WriteFile");
        if (result.status == IoStatus::done) {
            written += bytes;
            result.bytes = bytes.size();
        }
        return result;
    }
    IoOutcome flush() override { return outcome(flush_, "FlushFileBuffers"); }

    std::string written;

private:
    IoOutcome outcome(const Step& step, std::string_view call) {
        switch (step.kind) {
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

// What the pipe server's threads saw only under Wine, one exchange each.
TEST(PipeExchange, ReadsOneLineWithinItsBoundsAndWaitsUntilTheReplyIsTaken) {
    const std::string large(READ_CHUNK_BYTES, 'x');
    const struct {
        const char* label;
        std::vector<Step> reads;
        Answer answer;
        Step write, flush;
        std::optional<std::string> request;  // as handed to the answer
        std::string written;
        bool reply_taken;
        std::string error;  // the error's message, empty when none
    } rows[] = {
        {"one read", {bytes(std::string(PING))}, Answer::reply, OK, OK, std::string(PING), std::string(PONG), true, ""},
        {"a message longer than one read", {more("{\"id\":\"p\","), bytes("\"action\":\"ping\"}\n")}, Answer::reply,
         OK, OK, std::string(PING), std::string(PONG), true, ""},
        {"an empty read within a long message", {more(""), bytes(std::string(PING))}, Answer::reply, OK, OK,
         std::string(PING), std::string(PONG), true, ""},
        {"an empty message ends the request", {bytes("{}"), bytes("")}, Answer::reply, OK, OK, "{}",
         std::string(PONG), true, ""},
        {"the client closed without writing", {fails(109)}, Answer::reply, OK, OK, std::nullopt, "", false,
         "ReadFile failed: 109"},
        {"a client that sends nothing", {}, Answer::reply, OK, OK, std::nullopt, "", false, "no request within 20 ms"},
        {"a request never completed", {bytes("{\"id\"")}, Answer::reply, OK, OK, std::nullopt, "", false,
         "request not completed within 60 ms"},
        {"a read cancelled by someone else", {ABORTED}, Answer::reply, OK, OK, std::nullopt, "", false,
         "ReadFile failed: 995"},
        {"a write that never ends", {bytes(std::string(PING))}, Answer::reply, BLOCKS, OK, std::string(PING), "",
         false, "reply not read within 20 ms"},
        {"the handler refuses", {bytes("x\n")}, Answer::refuse, OK, OK, "x\n", "", false, "invalid request"},
        {"the reply cannot be written", {bytes(std::string(PING))}, Answer::reply, fails(232), OK, std::string(PING),
         "", false, "WriteFile failed: 232"},
        {"a reply never read", {bytes(std::string(PING))}, Answer::reply, OK, BLOCKS, std::string(PING),
         std::string(PONG), false, "reply not read within 20 ms"},
        {"a client gone before the flush", {bytes(std::string(PING))}, Answer::reply, OK, fails(109),
         std::string(PING), std::string(PONG), true, ""},
        {"memory runs out while answering", {bytes(std::string(PING))}, Answer::out_of_memory, OK, OK,
         std::string(PING), "", false, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        ScriptedClient client(row.reads, row.write, row.flush);
        IoWatchdog watchdog([&] { client.cancel(); }, 1ms);
        std::optional<std::string> request;
        const ExchangeEnd end = run_exchange(
            client, watchdog,
            [&](std::string_view bytes) -> Result<std::string> {
                request = std::string(bytes);
                if (row.answer == Answer::out_of_memory) throw std::bad_alloc();
                if (row.answer == Answer::refuse) return fail("invalid request");
                return std::string(PONG);
            },
            SHORT);
        EXPECT_EQ(request, row.request);
        EXPECT_EQ(client.written, row.written);
        EXPECT_EQ(end.reply_taken, row.reply_taken);
        EXPECT_EQ(end.out_of_memory, row.answer == Answer::out_of_memory);
        EXPECT_EQ(end.error ? end.error->message() : "", row.error);
        // Nothing is watched once the exchange is over.
        EXPECT_FALSE(watchdog.expired());
    }
}

TEST(PipeExchange, DropsARequestPastTheLimitWithoutAnsweringIt) {
    // Reads of a full chunk each, never a line feed.
    std::vector<Step> reads(MAX_REQUEST_BYTES / READ_CHUNK_BYTES + 1, more(std::string(READ_CHUNK_BYTES, 'x')));
    ScriptedClient client(std::move(reads), OK, OK);
    IoWatchdog watchdog([&] { client.cancel(); }, 1ms);
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
