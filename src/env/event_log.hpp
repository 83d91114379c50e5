#pragma once
// The Windows Event Log: what administrators collect centrally. A few events
// that matter to them go there as well as to the log file, under the event
// source "velmor-helper", whose messages are compiled into the executable
// from the rows of env/event_table.inc. Each event has one insertion string,
// the same text as its log line. Nothing here fails towards the caller; an event that
// cannot be reported is left out.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "base/names.hpp"  // EVENT_SOURCE, as install and the package register it

namespace velmor {

enum class EventKind { information, warning, error };

// The level of a log line, which makes its prefix (log_prefix in log.hpp).
enum class LogLevel { info, warning, error };

// Event ids; each is a message id in the executable's message table.
enum class EventId : std::uint32_t {
#define VELMOR_EVENT(id, name, kind, level, message) name = id,
#include "env/event_table.inc"
#undef VELMOR_EVENT
};

// One row of the event table.
struct EventRow {
    EventId id;
    EventKind kind;
    LogLevel level;  // of the log line that report() writes with the event
    std::string_view message;
};

inline constexpr EventRow EVENT_TABLE[] = {
#define VELMOR_EVENT(id, name, kind, level, message) {EventId::name, EventKind::kind, LogLevel::level, message},
#include "env/event_table.inc"
#undef VELMOR_EVENT
};

// The row of `id`; every id has one.
constexpr const EventRow& event_row(EventId id) {
    for (const EventRow& row : EVENT_TABLE)
        if (row.id == id) return row;
    return EVENT_TABLE[0];
}

// The ids run from 1 without a gap, as the message table's do.
static_assert([] {
    for (std::size_t i = 0; i < std::size(EVENT_TABLE); ++i)
        if (static_cast<std::size_t>(EVENT_TABLE[i].id) != i + 1) return false;
    return true;
}());

// Reports one event, of the kind its row gives, with `text` as its insertion
// string. Thread safe; the source is registered on first use and kept for the
// process.
void report_event(EventId id, std::string_view text) noexcept;

}  // namespace velmor
