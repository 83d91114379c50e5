#include "env/event_log.hpp"

#include <atomic>

namespace velmor {
namespace detail {
namespace {
std::atomic<void (*)(EventId, EventKind, std::string_view)> g_event_hook{nullptr};
}  // namespace

// The platform half: hands the event to the system's log.
void report_platform_event(EventId id, EventKind kind, std::string_view text) noexcept;

void on_event_for_testing(void (*hook)(EventId, EventKind, std::string_view)) { g_event_hook = hook; }
}  // namespace detail

void report_event(EventId id, EventKind kind, std::string_view text) noexcept {
    if (auto hook = detail::g_event_hook.load()) hook(id, kind, text);
    detail::report_platform_event(id, kind, text);
}

}  // namespace velmor
