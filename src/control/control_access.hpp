#pragma once
// Who may start and stop the core: the optional ControlAccess policy, a
// security descriptor in SDDL that administrators put in the registry.
// Without it everyone who may open the pipe may start and stop; with it only
// those it grants. "ping" and "status" are never refused, but "status" shows
// the core's error only to clients the same decision lets in.
//
// The decision is here; control_access_win32.cpp reads the value, learns who
// the client is and checks it against the descriptor.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "control/action.hpp"
#include "base/names.hpp"  // CONTROL_ACCESS_VALUE: where the policy lives

namespace velmor {

// The reply's error for a start or stop that the policy refuses.
inline constexpr std::string_view CONTROL_ACCESS_DENIED = "access denied by ControlAccess policy";

// One client checked against the policy's descriptor.
struct ClientCheck {
    bool granted = false;
    std::string client;  // who asked, for the log
};

struct AccessDecision {
    bool allowed = true;
    std::string log_line;  // empty: nothing to log
};

// Decides on one start or stop. `value` is the policy as read: none when it
// is not set, an error when it cannot be read. `check` checks the client
// against a descriptor text and is called only when there is one. Allowed
// only without a value or when the check grants access: a value that cannot
// be read or is no valid descriptor, or a client that cannot be checked,
// denies, and the log line says why.
AccessDecision decide_control_access(Action action, const Result<std::optional<std::string>>& value,
                                     const std::function<Result<ClientCheck>(const std::string&)>& check);

}  // namespace velmor
