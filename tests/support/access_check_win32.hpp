#pragma once
// Who may do what on an object, asked of the system as it would ask: the
// object's own descriptor, read back from a handle, and AccessCheck with the
// file generic mapping for a token of the test's own making. Wine stores
// descriptors of pipes but enforces none; this is how a test sees them.

#include "base/error.hpp"
#include "base/win.hpp"

namespace velmor::access {

// An identification token of this process's user (under Wine a member of
// Users and Administrators, as an elevated administrator is); with
// `as_standard_user` the Administrators group is deny-only, which is a
// standard user as far as any descriptor goes. Empty when it cannot be made.
unique_handle identification_token(bool as_standard_user);

// Whether `token` is granted all of `desired` (generic bits allowed) by the
// descriptor of the object behind `object`, a handle opened with
// READ_CONTROL. Errors: the failing call, never a guess.
Result<bool> granted(HANDLE token, HANDLE object, ACCESS_MASK desired);

// The same for a descriptor in memory; one without an owner or a group is
// given SYSTEM for them (AccessCheck refuses it otherwise).
Result<bool> granted_by(HANDLE token, PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK desired);

}  // namespace velmor::access
