#include "control/control_access.hpp"

namespace velmor {

Error not_a_policy_descriptor(Error cause) {
    return Error(std::string(CONTROL_ACCESS_VALUE) + " is not a valid security descriptor", std::move(cause));
}

Result<> check_policy_shape(const Result<PolicyDescriptor>& read) {
    if (!read) return fail(read.error());
    if (!read->dacl) return fail(not_a_policy_descriptor(Error("it has no DACL, which would grant everyone")));
    if (read->sacl) return fail(not_a_policy_descriptor(Error("it has a SACL, which the helper does not enforce")));
    for (const PolicyDescriptor::Entry& entry : read->entries) {
        switch (entry.type) {
            case ace_type::DENIED:
            case ace_type::DENIED_OBJECT:
            case ace_type::DENIED_CALLBACK:
            case ace_type::DENIED_CALLBACK_OBJECT: continue;
            default: break;
        }
        if ((entry.mask & CONTROL_ACCESS_RIGHT) != 0)
            return fail(not_a_policy_descriptor(
                Error("an allow entry grants start and stop through a specific right; grant them with GA, GW or GX")));
    }
    return {};
}

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
