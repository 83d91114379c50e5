#include "service/console.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "base/os_error.hpp"
#include "service/host.hpp"

namespace velmor {
namespace {

// Made once by run_console and never destroyed: the system may call the
// handler on a thread of its own up to the very end of the process.
ConsoleStop* console_stop = nullptr;

BOOL WINAPI handle_console_control(DWORD event) {
    if (console_stop == nullptr) return FALSE;
    const BOOL taken = take_console_event(*console_stop, event);
    // Once a close handler returns, the system ends the process with an exit
    // code of its own; the main thread, done with the stop, ends it with 0.
    if (taken && event == CTRL_CLOSE_EVENT) Sleep(CONSOLE_STOP_WAIT_MS);
    return taken;
}

}  // namespace

Result<> make_console_stop(ConsoleStop& stop) {
    stop.requested.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop.requested) return fail(last_call_error("CreateEventW"));
    stop.finished.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop.finished) return fail(last_call_error("CreateEventW"));
    return {};
}

BOOL take_console_event(ConsoleStop& stop, DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    DWORD none = NO_CONSOLE_EVENT;
    // The first event names the stop; later ones only wait for it.
    stop.event.compare_exchange_strong(none, event);
    SetEvent(stop.requested.get());
    WaitForSingleObject(stop.finished.get(), CONSOLE_STOP_WAIT_MS);
    return TRUE;
}

std::string_view console_event_name(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT: return "Ctrl+C";
        case CTRL_BREAK_EVENT: return "Ctrl+Break";
        case CTRL_CLOSE_EVENT: return "the console window was closed";
        default: return "a console event";
    }
}

Result<> run_console() {
    auto* stop = new ConsoleStop;
    if (Result<> made = make_console_stop(*stop); !made) return fail(made.error().context("cannot handle Ctrl+C"));
    auto stop_requested = std::make_shared<std::atomic<bool>>(false);
    // Set by the pipe server's thread before it sets the event; read by the
    // main thread after the event.
    auto gave_up = std::make_shared<std::optional<Error>>();

    HostHooks hooks;
    hooks.name = "console mode";
    hooks.first_line = "running in console mode";
    hooks.attach = [stop]() -> Result<> {
        console_stop = stop;
        // Without the handler, Ctrl+C would end the process with the core
        // still inside the library: a real core's network changes would stay
        // behind.
        if (!SetConsoleCtrlHandler(handle_console_control, TRUE))
            return fail(last_call_error("SetConsoleCtrlHandler").context("cannot handle Ctrl+C"));
        return {};
    };
    // A console helper that cannot serve (the name held by the service or
    // another process) ends at once rather than stay idle.
    hooks.give_up_when_taken = true;
    hooks.ended = [stop, gave_up](PipeServerEnd end, const Error& error) {
        if (end == PipeServerEnd::stopped) return;
        *gave_up = error;
        SetEvent(stop->requested.get());
    };
    hooks.wait_for_stop = [stop, gave_up]() -> std::string {
        if (WaitForSingleObject(stop->requested.get(), INFINITE) != WAIT_OBJECT_0) {
            gave_up->emplace(last_call_error("WaitForSingleObject").context("cannot wait for Ctrl+C"));
            return {};
        }
        if (gave_up->has_value()) return {};
        return "console mode ending: " + std::string(console_event_name(stop->event.load())) + "; stopping the core";
    };

    Result<> ran = run_host(hooks, stop_requested);
    SetEvent(stop->finished.get());
    if (!ran) return ran;
    if (gave_up->has_value()) return fail(**gave_up);
    return {};
}

}  // namespace velmor
