#include "service/console.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "base/os_error.hpp"
#include "control/pipe_server.hpp"
#include "core/core_controller.hpp"
#include "core/core_state.hpp"
#include "core/program_trust.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"
#include "service/data_folder_at_start.hpp"
#include "service/host_report.hpp"

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
    if (!stop.requested) return fail(Error("cannot create an event", os_error(GetLastError())));
    stop.finished.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop.finished) return fail(Error("cannot create an event", os_error(GetLastError())));
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
    Result<std::filesystem::path> folder = exe_dir();
    if (!folder) return fail(std::move(folder.error()));
    init_log(*folder);
    auto core = std::make_shared<CoreShared>();
    auto actions = std::make_shared<ActionContext>(core);
    // Before the line that tells the console is up: whoever waits for it
    // finds the data folder prepared.
    prepare_data_folder_at_start(*actions);
    log_message("running in console mode");
    report_host_started(host_started_line("console mode", GetCurrentProcessId()));

    auto* stop = new ConsoleStop;
    if (Result<> made = make_console_stop(*stop); !made) return fail(made.error().context("cannot handle Ctrl+C"));
    console_stop = stop;
    // Without the handler, Ctrl+C would end the process with the core still
    // inside the library: a real core's network changes would stay behind.
    if (!SetConsoleCtrlHandler(handle_console_control, TRUE))
        return fail(Error("cannot handle Ctrl+C", os_error(GetLastError())));

    auto stop_requested = std::make_shared<std::atomic<bool>>(false);
    // A pipe server that gives up (another process holds the name, or the
    // pipe cannot be made) ends console mode at once, with its error.
    auto gave_up = std::make_shared<std::optional<Error>>();
    PipeServerHost host{actions, stop_requested, {}, {}, true};
    host.ended = [gave_up, stop](PipeServerEnd, const Error& error) {
        *gave_up = error;
        SetEvent(stop->requested.get());
    };
    try {
        std::thread(run_pipe_server, std::move(host)).detach();
    } catch (const std::system_error&) {
        return fail("failed to spawn thread");
    }
    // As at service start, once the pipe is served: reported here, refused
    // before a core starts.
    (void)decide_program_trust("program folder", find_unsafe_program_files(*folder), read_unsafe_folder_allowance());

    if (WaitForSingleObject(stop->requested.get(), INFINITE) != WAIT_OBJECT_0)
        return fail(Error("cannot wait for Ctrl+C", os_error(GetLastError())));
    if (*gave_up) return fail(**gave_up);
    report_host_stopped("console mode ending: " + std::string(console_event_name(stop->event.load())) +
                        "; stopping the core");
    // A stop time-out is logged by the controller; console mode ends anyway.
    (void)stop_core(*core);
    log_pending_summary();
    SetEvent(stop->finished.get());
    return {};
}

}  // namespace velmor
