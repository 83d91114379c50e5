#include "control/control_access.hpp"

namespace velmor {
namespace {

// The error and its causes on one line, for a log line that must stay one.
std::string one_line(const Error& error) {
    std::string text = error.message();
    for (const Error* cause = error.cause(); cause != nullptr; cause = cause->cause()) text += ": " + cause->message();
    return text;
}

}  // namespace

AccessDecision decide_control_access(std::string_view action, const Result<std::optional<std::string>>& value,
                                     const std::function<Result<ClientCheck>(const std::string&)>& check) {
    if (value && !*value) return {};
    const std::string refused = std::string(CONTROL_ACCESS_DENIED) + ": " + std::string(action) + " refused";
    if (!value) return {false, refused + ": cannot read " + std::string(CONTROL_ACCESS_VALUE) + ": " + one_line(value.error())};
    const Result<ClientCheck> checked = check(**value);
    if (!checked) return {false, refused + ": " + one_line(checked.error())};
    if (!checked->granted) return {false, refused + " to " + checked->client};
    return {};
}

}  // namespace velmor
