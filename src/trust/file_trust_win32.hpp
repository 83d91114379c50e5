#pragma once
// The Windows reader of file_trust: a security descriptor as an owner and a
// DACL.

#include "base/win.hpp"
#include "trust/account_win32.hpp"
#include "trust/file_trust.hpp"

namespace velmor::trust {

// The owner and the allow entries of `descriptor`. SYSTEM, the
// Administrators, TrustedInstaller and the process's own user are trusted;
// CREATOR OWNER is marked as such. Error: a DACL whose entries cannot be read.
Result<Permissions> permissions_of(PSECURITY_DESCRIPTOR descriptor);

}  // namespace velmor::trust
