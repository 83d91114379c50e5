#include "service/host_report.hpp"

#include "base/names.hpp"
#include "base/path.hpp"
#include "base/version.hpp"
#include "control/pipe_loop.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"

namespace velmor {

std::string host_started_line(std::string_view host, std::uint32_t process_id) {
    return std::string(host) + ": version " + std::string(VERSION) + ", process " + std::to_string(process_id) +
           ", data folder " + path_to_utf8(service_data_dir());
}

PipeHolder pipe_holder_words(std::optional<std::uint32_t> process, std::optional<std::uint32_t> service) {
    if (!process || process != service) return plain_pipe_holder(process);
    const std::string name(SERVICE_NAME_TEXT);
    return {"the " + name + " service (process " + std::to_string(*process) + ")",
            "stop the service first (sc stop " + name + ")"};
}

}  // namespace velmor
