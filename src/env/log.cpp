#include "env/log.hpp"

#include <atomic>
#include <charconv>
#include <mutex>

#include "base/path.hpp"
#include "env/log_file.hpp"

namespace velmor {
namespace {

struct LogSlot {
    std::mutex mutex;
    std::unique_ptr<detail::LogFile> file;  // null when the open failed
};

// Set once by the first init_log, never cleared; the slot lives until exit.
std::atomic<LogSlot*> g_slot{nullptr};

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
        detail::LogFile::open(join_path(folder, PathString(LOG_FILE_NAME.begin(), LOG_FILE_NAME.end())));
        return;
    }
    auto slot = std::make_unique<LogSlot>();
    slot->file = detail::LogFile::open(join_path(folder, PathString(LOG_FILE_NAME.begin(), LOG_FILE_NAME.end())));
    LogSlot* expected = nullptr;
    if (g_slot.compare_exchange_strong(expected, slot.get(), std::memory_order_acq_rel)) {
        (void)slot.release();  // owned by the process from now on
    }
}

void log_message(std::string_view message) {
    const std::string line = format_log_line(system_time_intervals(), message);
    if (LogSlot* slot = g_slot.load(std::memory_order_acquire)) {
        std::lock_guard lock(slot->mutex);
        if (slot->file) slot->file->write_all(line);
    }
    detail::echo_to_stderr(line);
}

}  // namespace velmor
