#include "control/pipe_loop.hpp"

#include "env/event_log.hpp"

namespace velmor {

void give_up(const PipeServerHost& host, PipeServerEnd end, const Error& error) {
    if (host.ended) host.ended(end, error);
    host.stop_requested->store(true);
}

bool claim_pipe_name(PipeInstances& pipe, const PipeServerHost& host, bool& waited) {
    int attempts = 0;
    for (;;) {
        if (host.stop_requested->load()) return false;
        // What was made stays: the first instance keeps the name meanwhile.
        const std::optional<PipeCreateError> failed = pipe.add_instances();
        if (!failed) return true;
        switch (failed->failure) {
        case PipeCreateFailure::descriptor:
            log_message(LogLevel::error, "security descriptor init failed: " + failed->error.full_description());
            log_message(LogLevel::error, "security descriptor init failed; stopping service");
            give_up(host, PipeServerEnd::failed, failed->error.context("security descriptor init failed"));
            return false;
        case PipeCreateFailure::taken:
            // Nobody can be served until the name is free: said once while
            // it lasts. A console helper ends; its line reaches standard
            // error only, and no event is reported for a helper that never
            // ran.
            if (!waited || host.give_up_when_taken) {
                const std::optional<std::uint32_t> process = pipe.holder();
                const PipeHolder holder = host.holder ? host.holder(process) : plain_pipe_holder(process);
                const std::string line =
                    "pipe name taken by " + holder.who + ": " + failed->error.one_line() + "; " + holder.advice;
                log_message(LogLevel::error, line);
                if (host.give_up_when_taken) {
                    give_up(host, PipeServerEnd::name_taken, Error(line));
                    return false;
                }
                waited = true;
                report_event(EventId::pipe_name_taken, line);
                if (host.waiting_for_name) host.waiting_for_name();
            }
            break;
        case PipeCreateFailure::instance:
            log_client_message("pipe accept error: " + failed->error.full_description());
            if (++attempts == INSTANCE_ATTEMPTS) {
                const Error error = failed->error.context("pipe not served: not every instance could be made");
                log_message(LogLevel::error, error.full_description());
                give_up(host, PipeServerEnd::failed, error);
                return false;
            }
            break;
        }
        pipe.pause();
    }
}

void report_instance_lost(const std::string& cause, int served) {
    const std::string line = "pipe instance lost: " + cause + "; now serving " + std::to_string(served) + " instances";
    report(EventId::pipe_instance_lost, line);
}

std::string describe_client(const PipeClientKey& key) { return plain_pipe_holder(key.process).who; }

PipeHolder plain_pipe_holder(std::optional<std::uint32_t> process) {
    if (!process) return {"an unknown process", "end the program that holds it first"};
    return {"process " + std::to_string(*process), "end that process first"};
}

}  // namespace velmor
