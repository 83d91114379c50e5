#pragma once
// What the install command checks, records and prepares on disk before it
// registers anything. Main thread.

#include "base/error.hpp"

namespace velmor {

// Records whether `allow_unsafe_folder` (record_unsafe_folder_allowance),
// then refuses a program folder where anyone but SYSTEM, the Administrators and
// TrustedInstaller may change the folder, an ancestor, the executable, the
// core library or wintun.dll, or where any of them is a link ("program folder
// is not safe: {path}: {reason} (install with --allow-unsafe-folder to accept
// it)"), unless `allow_unsafe_folder`, which logs it as a warning; then
// prepares the data folder as a start does, so that no one else can make it
// first.
// Errors: those, "cannot record the choice of --allow-unsafe-folder", or
// "current_exe" / "invalid exe path".
Result<> prepare_install_folders(bool allow_unsafe_folder);

// Sets UNSAFE_FOLDER_ALLOWANCE to 1, or removes it so that no earlier
// install's choice outlives this one.
Result<> record_unsafe_folder_allowance(bool allowed);

}  // namespace velmor
