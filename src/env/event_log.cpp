#include "env/event_log.hpp"

namespace velmor {
namespace detail {
// The platform half: hands the event to the system's log.
void report_platform_event(EventId id, EventKind kind, std::string_view text) noexcept;
}  // namespace detail

void report_event(EventId id, std::string_view text) noexcept {
    detail::report_platform_event(id, event_row(id).kind, text);
}

}  // namespace velmor
