#pragma once
// The "install" and "uninstall" commands: the service's registration with the
// Service Control Manager. Both run on the main thread, print and log nothing,
// and report a failed SCM call as "IO error in winapi call" with the system
// error as cause.

#include "base/error.hpp"

namespace velmor {

// The name the SCM shows for the service.
inline constexpr wchar_t SERVICE_DISPLAY_NAME[] = L"VelmorHelper Service";

// Checks the program folder and prepares the data folder
// (prepare_install_folders), then registers the running executable as the
// automatically started LocalSystem service velmor-helper and starts it. A
// refused folder registers nothing; a registration made before a failed
// start stays in place.
Result<> install_service(bool allow_unsafe_folder = false);

// Asks the service to stop (best effort, without waiting) and marks it for
// deletion; the SCM removes it once it has stopped.
Result<> uninstall_service();

}  // namespace velmor
