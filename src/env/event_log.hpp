#pragma once
// The Windows Event Log: what administrators collect centrally. A few events
// that matter to them go there as well as to the log file, under the event
// source "velmor-helper", whose messages are compiled into the executable
// (packaging/events.mc). Each event has one insertion string, the same text
// as its log line. Nothing here fails towards the caller; an event that
// cannot be reported is left out.

#include <cstdint>
#include <string_view>

#include "base/names.hpp"  // EVENT_SOURCE, as install and the package register it

namespace velmor {

enum class EventKind { information, warning, error };

// Event ids; each is a message id in the executable's message table.
enum class EventId : std::uint32_t {
    service_started = 1,
    service_stopped = 2,
    core_started = 3,
    core_stopped = 4,
    start_refused = 5,     // refused for safety: data folder, Wintun, policy
    pipe_name_taken = 6,
    log_not_writable = 7,
    core_failed = 8,            // a core that had started ended on its own with an error
    stop_timed_out = 9,         // a stop whose core did not end within the stop timeout
    program_folder_unsafe = 10, // found unsafe at service or console start
    recovery_not_set = 11,      // install could not set the service's recovery actions
    machine_lock_held = 12,     // the machine lock exists and is not ours: who created it
    pipe_instance_lost = 13,    // an instance of the pipe could not be kept or made again
};

// Reports one event with `text` as its insertion string. Thread safe; the
// source is registered on first use and kept for the process.
void report_event(EventId id, EventKind kind, std::string_view text) noexcept;

}  // namespace velmor
