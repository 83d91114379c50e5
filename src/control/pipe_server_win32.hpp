#pragma once
// The Windows side of the control pipe: the name, the security of every
// instance and the creation of one instance.

#include <atomic>
#include <memory>

#include "base/error.hpp"
#include "base/win.hpp"
#include "core/core_state.hpp"

namespace velmor {

inline constexpr const wchar_t* PIPE_NAME = L"\\\\.\\pipe\\velmor-helper";

// Network logons denied; LocalSystem and Administrators allowed everything;
// the pipe's owner (its creator) allowed everything too, so that a console
// helper run by a standard user can create the further instances of its own
// pipe (the service's pipe is owned by SYSTEM or Administrators, who are
// allowed anyway); creating instances (FILE_CREATE_PIPE_INSTANCE, 0x4)
// denied to everyone else, so nobody can sit beside the server on its own
// pipe; read and write for the built-in Users. Allowed entries before the
// deny win, as a DACL is read in order.
inline constexpr const wchar_t* PIPE_SDDL =
    L"D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)(D;;0x4;;;WD)(A;;GRGW;;;BU)";

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

// run_pipe_server on the pipe `name`; tests use names of their own.
void serve_pipe(const wchar_t* name, std::shared_ptr<CoreShared> core,
                std::shared_ptr<std::atomic<bool>> stop_requested);

}  // namespace velmor
