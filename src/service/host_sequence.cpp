#include "service/host_sequence.hpp"

#include <mutex>

#include "env/log.hpp"

namespace velmor {
namespace {

// Whether the server has taken over, and whether the host has ended; the
// server's part runs whole under the lock or not at all.
struct HostPhase {
    std::mutex mutex;
    bool claimed = false;  // guarded by mutex
    bool ended = false;    // guarded by mutex
};

}  // namespace

Result<> run_host_sequence(HostSteps& steps, const HostHooks& hooks,
                           const std::shared_ptr<std::atomic<bool>>& stop_requested) {
    Result<std::filesystem::path> folder = steps.exe_folder();
    if (!folder) return fail(std::move(folder.error()));
    if (Result<> attached = hooks.attach(); !attached) return attached;

    auto phase = std::make_shared<HostPhase>();
    // The server may call this after the host has ended: then it touches
    // nothing but the phase.
    auto claimed = [&steps, &hooks, phase, folder = *folder](bool waited) {
        std::lock_guard lock(phase->mutex);
        if (phase->ended) return false;
        phase->claimed = true;
        steps.open_log(folder);
        if (hooks.held) hooks.held();
        // Before the first client, and before the line that tells whoever
        // waits for it that the helper is up: at boot, before anyone has
        // logged on.
        steps.prepare_data_folder();
        if (!hooks.first_line.empty()) steps.log(std::string(hooks.first_line));
        steps.report(EventId::service_started, host_started_line(hooks.name, steps.process_id()));
        if (waited) steps.report(EventId::pipe_name_held, std::string(NAME_HELD_AFTER_WAIT_LINE));
        // Checked at install. A folder made unsafe since is reported here;
        // the check before each core start and library load then refuses
        // (or, with the allowance recorded at install, warns again).
        steps.check_program_folder(folder);
        return true;
    };
    // A service that fails before its name is held has nobody reading its
    // standard error: the failure goes to its log, opened for it. (A
    // console helper's person reads it there.)
    auto ended = [&steps, &hooks, phase, folder = *folder](PipeServerEnd end, const Error& error) {
        if (end == PipeServerEnd::failed && !hooks.give_up_when_taken) {
            std::lock_guard lock(phase->mutex);
            if (!phase->claimed && !phase->ended) {
                steps.open_log(folder);
                steps.log(std::string(log_prefix(LogLevel::error)) + error.full_description());
            }
        }
        if (hooks.ended) hooks.ended(end, error);
    };
    PipeServerHost server{nullptr, stop_requested, hooks.serving, std::move(ended), hooks.give_up_when_taken,
                          hooks.waiting_for_name, std::move(claimed)};
    if (Result<> started = steps.start_server(std::move(server)); !started) return started;

    const std::string stopping = hooks.wait_for_stop();
    bool held = false;
    {
        std::lock_guard lock(phase->mutex);
        phase->ended = true;
        held = phase->claimed;
    }
    if (!stopping.empty()) {
        if (held) steps.report(EventId::service_stopped, stopping);
        else steps.log(stopping);
    }
    // A stop time-out is logged by the controller; the host ends anyway.
    steps.stop_core();
    // Client lines held back by the log's rate limit are counted in the log.
    steps.log_pending_summary();
    return {};
}

}  // namespace velmor
