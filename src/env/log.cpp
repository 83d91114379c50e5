#include "env/log.hpp"

#include <atomic>
#include <charconv>
#include <mutex>
#include <optional>
#include <vector>

#include "base/local_time.hpp"
#include "base/path.hpp"
#include "env/event_log.hpp"
#include "env/log_file.hpp"
#include "env/log_limit.hpp"
#include "env/log_writer.hpp"

namespace velmor {
namespace {

struct LogSlot {
    explicit LogSlot(std::filesystem::path file) : writer(std::move(file)) {}
    std::mutex mutex;
    LogWriter writer;    // guarded by mutex
    LogRateLimit limit;  // guarded by mutex
    // ControlAccess denials: a budget of their own, which other client lines
    // cannot spend.
    LogRateLimit denial_limit;  // guarded by mutex
};

// Set once by the first init_log and never cleared or destroyed: threads
// that outlive wmain (the pipe server, a joiner, a core thread) may log up to
// the end of the process.
std::atomic<LogSlot*> g_slot{nullptr};

std::filesystem::path log_file_in(const std::filesystem::path& folder) {
    return join_path(folder, PathString(LOG_FILE_NAME.begin(), LOG_FILE_NAME.end()));
}

}  // namespace

std::string log_echo_line(std::string_view file_line) {
    constexpr std::string_view head = "[SystemTime { intervals: ", tail = " }] ";
    const std::size_t end = file_line.find(tail);
    if (!file_line.starts_with(head) || end == std::string_view::npos || end == head.size())
        return std::string(file_line);
    std::int64_t intervals = 0;
    const auto [stop, ec] = std::from_chars(file_line.data() + head.size(), file_line.data() + end, intervals);
    if (ec != std::errc() || stop != file_line.data() + end || intervals < 0) return std::string(file_line);
    return "[" + local_iso_time(intervals) + "] " + std::string(file_line.substr(end + tail.size()));
}

namespace {

// Writes `message` (and a summary before it, when the limit gives one) to the
// file under the slot's lock, then echoes. `limit` (none: no limit) is the
// slot's budget the line passes. Allocation failures drop the line.
void write_line(std::string_view message, LogRateLimit LogSlot::*limit = nullptr) noexcept {
    try {
        const std::int64_t now = system_time_intervals();
        const std::string line = format_log_line(now, message);
        std::optional<std::string> summary_line;
        std::vector<std::string> notices;
        std::optional<LogEvent> unwritable;
        if (LogSlot* slot = g_slot.load(std::memory_order_acquire)) {
            std::lock_guard lock(slot->mutex);
            if (limit != nullptr) {
                LogRateLimit::Decision decision = (slot->*limit).admit(LogRateLimit::Clock::now());
                if (!decision.write) return;
                if (decision.summary) {
                    summary_line = format_log_line(now, *decision.summary);
                    slot->writer.write_line(*summary_line);
                }
            }
            slot->writer.write_line(line);
            notices = slot->writer.take_notices();
            unwritable = slot->writer.take_unwritable();
        }
        // Outside the sink's lock, the innermost of the process.
        for (const std::string& notice : notices) detail::echo_to_stderr(log_echo_line(notice));
        if (summary_line) detail::echo_to_stderr(log_echo_line(*summary_line));
        detail::echo_to_stderr(log_echo_line(line));
        if (unwritable) report_event(unwritable->id, unwritable->text);
    } catch (...) {
        // Out of memory: the line is lost, the caller goes on.
    }
}

}  // namespace

std::string format_log_line(std::int64_t intervals, std::string_view message) {
    constexpr std::string_view prefix = "[SystemTime { intervals: ";
    constexpr std::string_view suffix = " }] ";
    char digits[24];
    const auto [end, ec] = std::to_chars(std::begin(digits), std::end(digits), intervals);
    (void)ec;
    std::string line;
    line.reserve(prefix.size() + 20 + suffix.size() + message.size() + 1);
    line.append(prefix);
    line.append(digits, end);
    line.append(suffix);
    line.append(message);
    line.push_back('\n');
    return line;
}

void init_log(const std::filesystem::path& folder) {
    if (g_slot.load(std::memory_order_acquire) != nullptr) {
        // Still open (and create) the file as the first call would, then drop it.
        (void)detail::LogFile::open(log_file_in(folder));
        return;
    }
    auto slot = std::make_unique<LogSlot>(log_file_in(folder));
    LogSlot* expected = nullptr;
    if (g_slot.compare_exchange_strong(expected, slot.get(), std::memory_order_acq_rel)) {
        (void)slot.release();  // owned by the process from now on, never destroyed
    }
}

void close_log_file() noexcept {
    if (LogSlot* slot = g_slot.load(std::memory_order_acquire)) {
        std::lock_guard lock(slot->mutex);
        slot->writer.close();
    }
}

void log_message(std::string_view message) noexcept { write_line(message); }

void log_message(LogLevel level, std::string_view message) noexcept {
    const std::string_view prefix = log_prefix(level);
    if (prefix.empty()) return write_line(message);
    try {
        write_line(std::string(prefix).append(message));
    } catch (...) {
        // Out of memory: the line is lost, the caller goes on.
    }
}

void report(EventId id, std::string_view text) noexcept {
    log_message(event_row(id).level, text);
    report_event(id, text);
}

void log_client_message(std::string_view message) noexcept { write_line(message, &LogSlot::limit); }

void log_denial_message(std::string_view message) noexcept { write_line(message, &LogSlot::denial_limit); }

void log_pending_summary() noexcept {
    LogSlot* slot = g_slot.load(std::memory_order_acquire);
    if (slot == nullptr) return;
    try {
        std::optional<std::string> summary, denials;
        {
            std::lock_guard lock(slot->mutex);
            summary = slot->limit.take_summary(LogRateLimit::Clock::now());
            denials = slot->denial_limit.take_summary(LogRateLimit::Clock::now());
        }
        if (summary) log_message(*summary);
        if (denials) log_message(*denials);
    } catch (...) {
    }
}

}  // namespace velmor
