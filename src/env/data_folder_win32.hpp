#pragma once
// The security of the data folders on Windows: the descriptor the helper
// gives them and the check of one it finds.

#include <optional>
#include <string>

#include "base/win.hpp"

namespace velmor::detail {

// Owner Administrators; protected DACL: SYSTEM and Administrators full
// control, Users read and execute, each inherited by folders and files inside.
inline constexpr const wchar_t* PROTECTED_FOLDER_SDDL =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// PROTECTED_FOLDER_SDDL as a descriptor, built once for the process and
// never freed; null when it cannot be built. Any thread.
PSECURITY_DESCRIPTOR protected_folder_descriptor();

// Why `descriptor` lets someone else write ("owned by {account}", "{account}
// may write there", ...); empty when its owner is SYSTEM, the Administrators,
// TrustedInstaller or the process's own user, it has a DACL, and no allow
// entry (explicit or inherited, inherit-only included, generic rights mapped
// for files) grants anyone else more than read and execute. Deny entries are
// not counted on.
std::optional<std::string> folder_security_problem_of(PSECURITY_DESCRIPTOR descriptor);

// folder_security_problem_of found nothing.
bool folder_security_is_safe(PSECURITY_DESCRIPTOR descriptor);

}  // namespace velmor::detail
