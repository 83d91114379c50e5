#include "env/event_log.hpp"

namespace velmor::detail {

// Other systems have no such log; the log file has the same lines.
void report_platform_event(EventId, EventKind, std::string_view) noexcept {}

}  // namespace velmor::detail
