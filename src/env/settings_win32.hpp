#pragma once
// The Windows side of the settings reader: the check of a key's descriptor.

#include "base/error.hpp"
#include "base/win.hpp"

namespace velmor::settings {

// Whether `key` (opened with READ_CONTROL) may be trusted: an error when its
// descriptor cannot be read ("cannot check who may change {KEY}") or when
// someone other than SYSTEM and the Administrators may change it ("{KEY} is
// not safe: {who} may change it"). Any thread.
Result<> check_key(HKEY key);

}  // namespace velmor::settings
