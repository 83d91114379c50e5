#include "control/control_access.hpp"

namespace velmor {

AccessDecision decide_control_access(Action action, const Result<std::optional<std::string>>& value,
                                     const std::function<Result<ClientCheck>(const std::string&)>& check) {
    if (value && !*value) return {};
    const std::string refused = std::string(CONTROL_ACCESS_DENIED) + ": " + std::string(action_word(action)) + " refused";
    if (!value) return {false, refused + ": cannot read " + std::string(CONTROL_ACCESS_VALUE) + ": " + value.error().one_line()};
    const Result<ClientCheck> checked = check(**value);
    if (!checked) return {false, refused + ": " + checked.error().one_line()};
    if (!checked->granted) return {false, refused + " to " + checked->client};
    return {};
}

}  // namespace velmor
