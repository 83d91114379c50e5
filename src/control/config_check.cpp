#include "control/config_check.hpp"

#include "base/text.hpp"
#include "control/json_check.hpp"

namespace velmor {

Result<> check_config(const std::optional<std::string>& config) {
    if (!config) return fail("missing config");
    if (is_blank(*config)) return fail("empty config");
    if (config->size() > MAX_CONFIG_BYTES)
        return fail("config too large (" + std::to_string(config->size()) + " bytes)");
    if (!is_well_formed_json(*config)) return fail("config is not valid JSON");
    return {};
}

}  // namespace velmor
