#include "env/event_log.hpp"

#include <atomic>
#include <string>

#include "base/win.hpp"

namespace velmor::detail {
namespace {

WORD event_type(EventKind kind) {
    switch (kind) {
        case EventKind::warning: return EVENTLOG_WARNING_TYPE;
        case EventKind::error: return EVENTLOG_ERROR_TYPE;
        case EventKind::information: break;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

// Registered once and kept for the process: threads that outlive wmain may
// still report. A failed registration is tried again on the next event.
// The system finds the source by its name in whichever log holds it: install
// and the MSI put it in the log "Velmor", which only SYSTEM and the
// Administrators may write (install.hpp).
HANDLE event_source() {
    static std::atomic<HANDLE> source{nullptr};
    if (HANDLE h = source.load(std::memory_order_acquire)) return h;
    HANDLE fresh = RegisterEventSourceW(nullptr, widen(EVENT_SOURCE).c_str());
    if (fresh == nullptr) return nullptr;
    HANDLE expected = nullptr;
    if (!source.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        DeregisterEventSource(fresh);
        return expected;
    }
    return fresh;
}

}  // namespace

void report_platform_event(EventId id, EventKind kind, std::string_view text) noexcept {
    try {
        HANDLE source = event_source();
        if (source == nullptr) return;
        const std::wstring wide = widen(text);
        const wchar_t* strings[] = {wide.c_str()};
        ReportEventW(source, event_type(kind), 0, static_cast<DWORD>(id), nullptr, 1, 0, strings, nullptr);
    } catch (...) {
        // Out of memory: the event is left out.
    }
}

}  // namespace velmor::detail
