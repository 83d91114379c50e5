#pragma once
// Who may start and stop the core: the optional ControlAccess policy, a
// security descriptor in SDDL that administrators put in the registry.
// Without it everyone who may open the pipe may start and stop; with it only
// those it grants. "ping" and "status" are never refused, but "status" shows
// the core's error only to clients the same decision lets in.
//
// The decisions are here; control_access_win32.cpp reads the value and the
// descriptor, learns who the client is and checks it against the descriptor.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "control/action.hpp"
#include "base/names.hpp"  // CONTROL_ACCESS_VALUE: where the policy lives

namespace velmor {

// The reply's error for a start or stop that the policy refuses.
inline constexpr std::string_view CONTROL_ACCESS_DENIED = "access denied by ControlAccess policy";

// The one right the policy grants or withholds: starting and stopping the
// core. An allow entry with GA, GW or GX grants it, GR does not. Specific
// rights are not the policy's language: FR, KR, CC, 0x1 and many more hold
// this bit, so an allow entry whose mask holds it itself (alone or beside
// generic rights) makes the value invalid, as does a SACL, which the helper
// would not enforce (a mandatory label among others). Deny entries may hold
// any right.
inline constexpr std::uint32_t CONTROL_ACCESS_RIGHT = 0x0001;

// Entry types of an ACL (ACE_HEADER's AceType), as the Windows documentation
// numbers them (winnt.h's ACCESS_*_ACE_TYPE; each checked against
// <windows.h> in control_access_win32.cpp). Every type keeps its access mask
// right after the header.
namespace ace_type {
inline constexpr std::uint8_t ALLOWED = 0x0;
inline constexpr std::uint8_t DENIED = 0x1;
inline constexpr std::uint8_t ALLOWED_OBJECT = 0x5;
inline constexpr std::uint8_t DENIED_OBJECT = 0x6;
inline constexpr std::uint8_t ALLOWED_CALLBACK = 0x9;
inline constexpr std::uint8_t DENIED_CALLBACK = 0xA;
inline constexpr std::uint8_t ALLOWED_CALLBACK_OBJECT = 0xB;
inline constexpr std::uint8_t DENIED_CALLBACK_OBJECT = 0xC;
}  // namespace ace_type

// A parsed policy descriptor as its shape rule sees it. `dacl` is false
// without a DACL and for a NULL one (both grant everyone); then nothing else
// is read. With a SACL, the entries are not read either.
struct PolicyDescriptor {
    struct Entry {
        std::uint8_t type = 0;
        std::uint32_t mask = 0;
    };
    bool dacl = false;
    bool sacl = false;
    std::vector<Entry> entries;
};

// "{CONTROL_ACCESS_VALUE} is not a valid security descriptor" over `cause`.
Error not_a_policy_descriptor(Error cause);

// Whether a policy may be checked at all: refused without a DACL, with a SACL
// or with an allow entry (any type but the deny ones, unknown types too) that
// holds CONTROL_ACCESS_RIGHT itself; a descriptor that could not be read is
// refused with the reading's error.
Result<> check_policy_shape(const Result<PolicyDescriptor>& read);

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
