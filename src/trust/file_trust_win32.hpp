#pragma once
// The Windows reader of file_trust: a security descriptor as an owner and a
// DACL.

#include "base/win.hpp"
#include "trust/file_trust.hpp"

namespace velmor::trust {

// The process token's user: SYSTEM for the service, the user who started a
// console run.
struct ProcessUser {
    alignas(SID) BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    bool known = false;
};
ProcessUser process_user();

// The owner and the allow entries of `descriptor`. SYSTEM, the
// Administrators, TrustedInstaller and the process's own user are trusted;
// CREATOR OWNER is marked as such. Error: a DACL whose entries cannot be read.
Result<Permissions> permissions_of(PSECURITY_DESCRIPTOR descriptor);

}  // namespace velmor::trust
