#pragma once
// The Windows half of the entry module, for a handle someone else opened
// (the log file's own).

#include "base/win.hpp"
#include "trust/entry.hpp"

namespace velmor::trust {

// What the handle is (its attribute tag) and, with `with_permissions`, its
// owner and DACL; the handle needs READ_CONTROL for those.
Result<EntryFacts> facts_of(HANDLE handle, bool with_permissions);

}  // namespace velmor::trust
