#pragma once
// The security of the data folders on Windows: the descriptor the helper
// gives them and the check of one it finds.

#include "base/win.hpp"

namespace velmor::detail {

// Owner Administrators; protected DACL: SYSTEM and Administrators full
// control, Users read and execute, each inherited by folders and files inside.
inline constexpr const wchar_t* PROTECTED_FOLDER_SDDL =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// PROTECTED_FOLDER_SDDL as a descriptor, built once for the process and kept;
// null when it cannot be built. Any thread.
PSECURITY_DESCRIPTOR protected_folder_descriptor();

// True when `descriptor` lets no one but SYSTEM and the Administrators write:
// its owner is one of them, it has a DACL, and no allow entry (explicit or
// inherited, inherit-only included, generic rights mapped for files) grants
// anyone else more than read and execute. Deny entries are not counted on.
bool folder_security_is_safe(PSECURITY_DESCRIPTOR descriptor);

}  // namespace velmor::detail
