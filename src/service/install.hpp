#pragma once
// The "install" and "uninstall" commands: the service's registration with the
// Service Control Manager. Both run on the main thread, print and log nothing
// when all goes well (install reports settings it could not make),
// and report a failed SCM call as "IO error in winapi call" with the system
// error as cause.

#include <vector>

#include "base/error.hpp"
#include "base/win.hpp"

namespace velmor {

// The name the SCM shows for the service.
inline constexpr wchar_t SERVICE_DISPLAY_NAME[] = L"VelmorHelper Service";

// The text the Services console shows for the service.
inline constexpr wchar_t SERVICE_DESCRIPTION[] = L"Runs the Velmor proxy core on behalf of the Velmor client.";

// Restarts after the first, second and later failures, and the time after
// which the count of failures starts again.
inline constexpr DWORD RESTART_DELAYS_MS[] = {5'000, 10'000, 60'000};
inline constexpr DWORD FAILURE_RESET_SECONDS = 24 * 60 * 60;

// Checks the program folder and prepares the data folder
// (prepare_install_folders), then registers the running executable as the
// automatically started LocalSystem service velmor-helper, with its
// description and recovery actions, and starts it. A refused folder
// registers nothing; a registration made before a failed start stays in
// place. Failing to set the description or the recovery actions does not
// fail the install: each such failure is reported on standard error and in
// the log next to the executable.
Result<> install_service(bool allow_unsafe_folder = false);

// Sets the description, the recovery actions (restart after each delay above,
// also when the service stops with an error without crashing) on an open
// service handle with SERVICE_CHANGE_CONFIG access. Returns one error per
// setting that could not be made, naming it.
std::vector<Error> configure_recovery(SC_HANDLE service);

// Asks the service to stop (best effort, without waiting) and marks it for
// deletion; the SCM removes it once it has stopped.
Result<> uninstall_service();

}  // namespace velmor
