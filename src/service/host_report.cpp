#include "service/host_report.hpp"

#include "base/path.hpp"
#include "base/version.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"

namespace velmor {

HostEvent host_event(HostNews news) {
    switch (news) {
        case HostNews::started: return {EventId::service_started, EventKind::information};
        case HostNews::stopped: return {EventId::service_stopped, EventKind::information};
        case HostNews::program_folder_unsafe: return {EventId::program_folder_unsafe, EventKind::warning};
        case HostNews::name_held_after_wait: return {EventId::pipe_name_taken, EventKind::information};
        case HostNews::recovery_not_set: break;
    }
    return {EventId::recovery_not_set, EventKind::warning};
}

std::string host_started_line(std::string_view host, std::uint32_t process_id) {
    return std::string(host) + ": version " + std::string(VERSION) + ", process " + std::to_string(process_id) +
           ", data folder " + path_to_utf8(service_data_dir());
}

void report_host(HostNews news, const std::string& line) {
    log_message(line);
    const HostEvent event = host_event(news);
    report_event(event.id, event.kind, line);
}

}  // namespace velmor
