#pragma once
// The Windows side of the ControlAccess policy: the registry value, the
// client's identity and the access check.

#include <optional>
#include <string>

#include "base/error.hpp"
#include "base/win.hpp"
#include "control/actions.hpp"
#include "control/control_access.hpp"
#include "control/protocol.hpp"

namespace velmor {

// The policy's text; none when the value (or its key) does not exist. A
// value of another type than REG_SZ is an error.
Result<std::optional<std::string>> read_control_access();

// Whether the descriptor `sddl` grants CONTROL_ACCESS_RIGHT to `token`, an
// impersonation token. Errors: a text that is no valid descriptor, also one
// without a DACL (which would let everyone in), with a SACL or with an allow
// entry that holds CONTROL_ACCESS_RIGHT itself (the cause says which), and a
// failed AccessCheck.
Result<bool> token_may_control(HANDLE token, const std::string& sddl);

// The token of the client of `pipe`, from which at least one read has been
// made. The thread impersonates the client only while it opens the token.
Result<unique_handle> pipe_client_token(HANDLE pipe);

// The client of one connection of the control pipe, from which at least one
// read has been made, while its request is handled (on that thread). Its
// token is opened once, when first needed.
class PipeClient {
public:
    explicit PipeClient(HANDLE pipe) : pipe_(pipe) {}
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;

    // For handle_request, valid while this object and `actions` live. The
    // gate reads the policy anew, decides, logs every denial
    // (log_denial_message) and reports a refused start to `actions`
    // (report_start_refused). may_see_error is the same decision without a
    // line: a policy that cannot be read, or a client that cannot be checked,
    // hides the error.
    ControlClient control_client(ActionContext& actions);

    // "DOMAIN\user (process N)": the account as LookupAccountSidW names it,
    // else its SID, else "an unknown user"; the process when known. Marked
    // unreadable when the client's token or its user cannot be read.
    ClientIdentity identity();

private:
    const Result<unique_handle>& token();
    Result<ClientCheck> check(const std::string& sddl);

    HANDLE pipe_;
    std::optional<Result<unique_handle>> token_;
};

}  // namespace velmor
