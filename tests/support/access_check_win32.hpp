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

// Whether `token` is granted all of `desired` (generic bits allowed, mapped
// as for files) by `descriptor`; one without an owner or a group is given
// SYSTEM for them (AccessCheck refuses it otherwise).
// Errors: the failing call, never a guess.
Result<bool> descriptor_grants(PSECURITY_DESCRIPTOR descriptor, HANDLE token, ACCESS_MASK desired);

// descriptor_grants for the descriptor of the object behind `object`, a
// handle opened with READ_CONTROL, as the system reads it back.
Result<bool> granted(HANDLE token, HANDLE object, ACCESS_MASK desired);

// Whether the program runs under Wine, which shows no descriptor's rule and
// impersonates every pipe client at its full level, whatever level the
// client asked for: tests skip what only Windows can show.
bool running_under_wine();

}  // namespace velmor::access
