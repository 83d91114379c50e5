#pragma once
// The Windows side of the control pipe: the name, the security of every
// instance and the creation of one instance.

#include "base/error.hpp"
#include "base/win.hpp"

namespace velmor {

inline constexpr const wchar_t* PIPE_NAME = L"\\\\.\\pipe\\velmor-helper";

// Network logons denied; LocalSystem and Administrators allowed everything;
// creating further instances (FILE_CREATE_PIPE_INSTANCE, 0x4) denied to
// everyone else, so nobody can sit beside the server on its own pipe; read
// and write for the built-in Users.
inline constexpr const wchar_t* PIPE_SDDL =
    L"D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(D;;0x4;;;WD)(A;;GRGW;;;BU)";

inline constexpr DWORD PIPE_BUFFER_BYTES = 65536;
inline constexpr DWORD PIPE_MAX_INSTANCES = 4;
inline constexpr DWORD PIPE_MODE = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

// Duplex; when the server holds no instance of its own yet, also
// FILE_FLAG_FIRST_PIPE_INSTANCE, so that a pipe someone else created under
// the name makes creation fail instead of being joined.
inline DWORD pipe_open_mode(bool first_instance) {
    return PIPE_ACCESS_DUPLEX | (first_instance ? static_cast<DWORD>(FILE_FLAG_FIRST_PIPE_INSTANCE) : 0u);
}

// Builds the descriptor from PIPE_SDDL and creates one instance of `name`.
// Errors carry the accept-error text: "security descriptor init failed: …"
// (after logging "ERROR: security descriptor init failed: …") or
// "CreateNamedPipeW failed: N".
Result<unique_handle> create_pipe_instance(const wchar_t* name, bool first_instance);

}  // namespace velmor
