#pragma once
// Accounts as Windows knows them: the user a token belongs to, and the name
// an account goes by in log lines.

#include <optional>
#include <string>

#include "base/error.hpp"
#include "base/win.hpp"

namespace velmor::trust {

// A user's SID, copied out of the token it was read from.
struct UserSid {
    alignas(SID) BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    PSID get() { return sid; }
};

// The user of `token`, opened with TOKEN_QUERY. Errors: "GetTokenInformation
// failed: N", "CopySid failed: N".
Result<UserSid> token_user(HANDLE token);

// Whether the well-known `sid` is enabled in `token`, an impersonation or
// identification token opened with TOKEN_QUERY: as its user, or as a group
// that is enabled (a deny-only group is not). Errors:
// "CreateWellKnownSid failed: N", "CheckTokenMembership failed: N".
Result<bool> token_enables(HANDLE token, WELL_KNOWN_SID_TYPE sid);

// "DOMAIN\name" as LookupAccountSidW names `sid` (the name alone when it has
// no domain), else the SID as text; none when neither can be had, and the
// caller says "unknown" in words of its own.
std::optional<std::string> account_name(PSID sid);

// The process token's user: SYSTEM for the service, the user who started a
// console run. `known` is false when it cannot be read.
struct ProcessUser {
    alignas(SID) BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    bool known = false;
};
ProcessUser process_user();

}  // namespace velmor::trust
