#pragma once
// Console mode: the control pipe server in the foreground, without the SCM.

#include <atomic>
#include <string_view>

#include "base/error.hpp"
#include "base/win.hpp"

namespace velmor {

// The host sequence (run_host) in the foreground: logs "running in console
// mode" and "console mode: version {v}, process {pid}, data folder {path}"
// (also as the service_started event), serves the pipe and waits on the main
// thread for Ctrl+C, Ctrl+Break or the closing of its console window; then
// logs one line naming the event (also as the service_stopped event), stops
// the core as the service does on Stop (stop_core, within its bound) and
// returns success. When the pipe server gives up (the name held by another
// process, or the pipe cannot be served) it stops at once and returns the
// server's error. Errors besides: the executable's folder cannot be found,
// the console handler cannot be installed ("cannot handle Ctrl+C"), or
// "failed to spawn thread".
Result<> run_console();

// What a console control event asks of console mode: `requested` is set
// once the handler has taken an event (the first one kept in `event`),
// `finished` once the main thread has stopped the core. Both are
// manual-reset events.
inline constexpr DWORD NO_CONSOLE_EVENT = 0xFFFFFFFF;
struct ConsoleStop {
    unique_handle requested;
    unique_handle finished;
    std::atomic<DWORD> event{NO_CONSOLE_EVENT};
};

// A fresh ConsoleStop, or the error of the event creation.
Result<> make_console_stop(ConsoleStop& stop);

// The console handler's work, on the thread the system creates for each
// event. Ctrl+C, Ctrl+Break and closing the window record the first such
// event, wake the main thread and wait (at most CONSOLE_STOP_WAIT) until it
// has finished, since the system ends the process as soon as a close
// handler returns; then TRUE. Any other event: FALSE, at once, and nothing
// changes (the system's default handling follows).
BOOL take_console_event(ConsoleStop& stop, DWORD event);

// Longer than any stop_core, so that a handler never lets the process end
// in the middle of the stop.
inline constexpr DWORD CONSOLE_STOP_WAIT_MS = 60'000;

// How the log names a console control event.
std::string_view console_event_name(DWORD event);

}  // namespace velmor
