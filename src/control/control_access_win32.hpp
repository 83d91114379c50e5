#pragma once
// The Windows side of the ControlAccess policy: the registry value, the
// client's identity and the access check.

#include <optional>
#include <string>

#include "base/error.hpp"
#include "base/win.hpp"
#include "control/protocol.hpp"

namespace velmor {

// The one right the policy grants or withholds: starting and stopping the
// core. An allow entry with GA, GW or GX grants it, GR does not.
inline constexpr DWORD CONTROL_ACCESS_RIGHT = 0x0001;

// The policy's text; none when the value (or its key) does not exist. A
// value of another type than REG_SZ is an error.
Result<std::optional<std::string>> read_control_access();

// Whether the descriptor `sddl` grants CONTROL_ACCESS_RIGHT to `token`, an
// impersonation token. Errors: a text that is no valid descriptor, also one
// without a DACL (which would let everyone in), and a failed AccessCheck.
Result<bool> token_may_control(HANDLE token, const std::string& sddl);

// The token of the client of `pipe`, from which at least one read has been
// made. The thread impersonates the client only while it opens the token.
Result<unique_handle> pipe_client_token(HANDLE pipe);

// The check that handle_request makes before a start or stop from the client
// of `pipe`: the value read anew, the decision, and a rate-limited log line
// for every denial.
ControlGate control_access_gate(HANDLE pipe);

}  // namespace velmor
