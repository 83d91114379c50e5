#include "service/host.hpp"

#include <system_error>
#include <thread>

#include "base/win.hpp"
#include "control/actions.hpp"
#include "core/core_controller.hpp"
#include "core/core_state.hpp"
#include "core/program_trust.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"
#include "service/data_folder_at_start.hpp"
#include "service/host_report.hpp"
#include "service/host_sequence.hpp"
#include "trust/program_files.hpp"
#include "service/scm.hpp"

namespace velmor {
namespace {

// The host sequence's calls; the core record and its ActionContext live as
// long as the pipe server that serves with them.
class SystemHostSteps final : public HostSteps {
public:
    Result<std::filesystem::path> exe_folder() override { return exe_dir(); }
    Result<> start_server(PipeServerHost server) override {
        server.actions = actions_;
        server.holder = scm::describe_pipe_holder;
        try {
            std::thread(run_pipe_server, std::move(server)).detach();
        } catch (const std::system_error&) {
            return fail("failed to spawn thread");
        }
        return {};
    }
    void open_log(const std::filesystem::path& folder) override { init_log(folder); }
    void prepare_data_folder() override { prepare_data_folder_at_start(*actions_); }
    void log(const std::string& line) override { log_message(line); }
    void report(EventId id, const std::string& line) override { velmor::report(id, line); }
    std::uint32_t process_id() override { return GetCurrentProcessId(); }
    void check_program_folder(const std::filesystem::path& folder) override {
        if (const std::optional<trust::Unsafe> unsafe = find_unsafe_program_files(folder)) {
            const Result<> decided = decide_program_trust("program folder", unsafe);
            report_event(EventId::program_folder_unsafe, trust::unsafe_error("program folder", *unsafe).one_line() +
                                                             (decided ? std::string(trust::ALLOWED_AT_INSTALL) : ""));
        }
    }
    void stop_core() override { (void)velmor::stop_core(*core_); }
    void log_pending_summary() override { velmor::log_pending_summary(); }

private:
    const std::shared_ptr<CoreShared> core_ = std::make_shared<CoreShared>();
    const std::shared_ptr<ActionContext> actions_ = std::make_shared<ActionContext>(core_);
};

}  // namespace

Result<> run_host(const HostHooks& hooks, const std::shared_ptr<std::atomic<bool>>& stop_requested) {
    SystemHostSteps steps;
    return run_host_sequence(steps, hooks, stop_requested);
}

}  // namespace velmor
