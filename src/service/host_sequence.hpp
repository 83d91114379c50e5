#pragma once
// The order of the host sequence (run_host), over the steps that each make
// system calls. What runs before the pipe's name is ours touches nothing
// that another helper may be using: its executable's folder and the host's
// own set-up (the console's Ctrl+C handler, or the service's handler and
// its pending status, so that a service that waits for the name can still be
// stopped). The log, which init_log may rotate, the data folder, the started
// line and event, and the program folder's report come only once the name is
// held, on the pipe server's thread, before clients are let in. A helper
// that finds the name taken therefore writes only to its standard error.
// Portable.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "base/error.hpp"
#include "control/pipe_server.hpp"
#include "service/host.hpp"
#include "env/event_log.hpp"
#include "service/host_report.hpp"

namespace velmor {

// The calls the sequence makes, in the order of run_host_sequence. Those
// after the name is held run on the pipe server's thread, the others on the
// host's.
class HostSteps {
public:
    virtual ~HostSteps() = default;
    virtual Result<std::filesystem::path> exe_folder() = 0;
    // Starts the pipe server (run_pipe_server) on a thread of its own; the
    // steps add what the server serves with.
    virtual Result<> start_server(PipeServerHost server) = 0;
    virtual void open_log(const std::filesystem::path& folder) = 0;
    virtual void prepare_data_folder() = 0;
    virtual void log(const std::string& line) = 0;
    // Logs `line` and reports it as event `id` (env/log.hpp's report).
    virtual void report(EventId id, const std::string& line) = 0;
    virtual std::uint32_t process_id() = 0;
    virtual void check_program_folder(const std::filesystem::path& folder) = 0;
    virtual void stop_core() = 0;
    virtual void log_pending_summary() = 0;
};

// The executable's folder; attach; the pipe server started, which claims
// the name (and, for the service, waits for it) and then, before it serves:
// the log opened in the executable's folder, the host's `held`, the data
// folder prepared, the first line, the started line and event, after a wait the line and event
// that say the name is held now, and the program folder's report. Then
// wait_for_stop; its line (reported as the stopped event only when the name
// was held: no stop without a start); stop_core and the summary of held-back
// client lines. A stop that comes while the server prepares waits for it;
// one that comes first leaves the server nothing to do.
Result<> run_host_sequence(HostSteps& steps, const HostHooks& hooks,
                           const std::shared_ptr<std::atomic<bool>>& stop_requested);

}  // namespace velmor
