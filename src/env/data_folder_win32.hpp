#pragma once
// The security of the data folders on Windows: the descriptor the helper
// gives them and the check of one it finds.

#include <optional>
#include <string>

#include "base/win.hpp"

namespace velmor::detail {

// The data folder's wintun.dll: SYSTEM and Administrators full control,
// nobody else anything, nothing inherited (a user who could open it could
// hold it open and refuse every start).
inline constexpr const wchar_t* PRIVATE_COPY_SDDL = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// DATA_FOLDER_SDDL (data_folder.hpp) as a descriptor, built once for the process and
// never freed; null when it cannot be built. Any thread.
PSECURITY_DESCRIPTOR protected_folder_descriptor();

// Who besides SYSTEM, the Administrators, TrustedInstaller and the process's
// own user may change a data folder with `descriptor`
// (trust::who_may_change: "{account}, its owner, may change it", "{account}
// may change it", ...); empty when nobody else may.
std::optional<std::string> folder_security_problem_of(PSECURITY_DESCRIPTOR descriptor);

}  // namespace velmor::detail
