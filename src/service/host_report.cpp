#include "service/host_report.hpp"

#include "base/path.hpp"
#include "base/version.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"

namespace velmor {

std::string host_started_line(std::string_view host, std::uint32_t process_id) {
    return std::string(host) + ": version " + std::string(VERSION) + ", process " + std::to_string(process_id) +
           ", data folder " + path_to_utf8(service_data_dir());
}

}  // namespace velmor
