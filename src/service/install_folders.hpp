#pragma once
// What the install command checks and prepares on disk before it registers
// anything. Main thread.

#include "base/error.hpp"

namespace velmor {

// Refuses a program folder that anyone but SYSTEM, the Administrators and
// TrustedInstaller may change ("program folder is not safe: {path}: {who}
// may write there"), unless `allow_unsafe_folder`; then prepares the data
// folder as a start does, so that no one else can make it first. Errors:
// those, or "current_exe" / "invalid exe path".
Result<> prepare_install_folders(bool allow_unsafe_folder);

}  // namespace velmor
