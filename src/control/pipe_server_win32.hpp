#pragma once
// The Windows side of the control pipe: the name, the security of every
// instance and the creation of one instance.

#include <atomic>
#include <memory>

#include "base/error.hpp"
#include "base/names.hpp"
#include "base/win.hpp"
#include "core/core_state.hpp"

namespace velmor {

// Owned by the Administrators. Network logons denied first; LocalSystem and
// Administrators allowed everything; read and write, and nothing more, for
// the built-in Users, so that every local user can open the pipe as clients
// do (GENERIC_READ | GENERIC_WRITE). The same for the pipe's owner (OWNER
// RIGHTS): that entry replaces the rights an owner has implicitly, so that
// the account running a console helper, which owns its pipe when it may not
// name the Administrators, cannot change the DACL either. On a pipe the
// write rights hold FILE_CREATE_PIPE_INSTANCE (the bit of FILE_APPEND_DATA),
// which no DACL can take from a user it lets write: the server keeps every
// instance the pipe allows instead, so that nobody can add one.
inline constexpr const wchar_t* PIPE_SDDL =
    L"O:BAD:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;OW)(A;;GRGW;;;BU)";
// The same for a process that may not name the Administrators as owner.
inline constexpr const wchar_t* PIPE_SDDL_WITHOUT_OWNER =
    L"D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;OW)(A;;GRGW;;;BU)";

inline constexpr DWORD PIPE_BUFFER_BYTES = 65536;
// Enough for four clients that hold one each and keep reconnecting, and as
// many more beside them (see pipe_shares.hpp).
inline constexpr DWORD PIPE_MAX_INSTANCES = 8;
inline constexpr DWORD PIPE_MODE = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

// Duplex; when the server holds no instance of its own yet, also
// FILE_FLAG_FIRST_PIPE_INSTANCE, so that a pipe someone else created under
// the name makes creation fail instead of being joined.
inline DWORD pipe_open_mode(bool first_instance) {
    return PIPE_ACCESS_DUPLEX | (first_instance ? static_cast<DWORD>(FILE_FLAG_FIRST_PIPE_INSTANCE) : 0u);
}

// Builds the descriptor from PIPE_SDDL (PIPE_SDDL_WITHOUT_OWNER when the
// system refuses the Administrators as owner) and creates one instance of
// `name`.
// Errors carry the accept-error text: "security descriptor init failed: …"
// (after logging "ERROR: security descriptor init failed: …") or
// "CreateNamedPipeW failed: N".
Result<unique_handle> create_pipe_instance(const wchar_t* name, bool first_instance);

// run_pipe_server on the pipe `name`; tests use names of their own.
void serve_pipe(const wchar_t* name, std::shared_ptr<CoreShared> core,
                std::shared_ptr<std::atomic<bool>> stop_requested);

}  // namespace velmor
