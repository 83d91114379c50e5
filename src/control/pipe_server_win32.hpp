#pragma once
// The Windows side of the control pipe: the name, the security of the pipe
// while its instances are made and while clients are served, and the
// creation of its instances.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "base/names.hpp"
#include "base/win.hpp"
#include "control/pipe_loop.hpp"
#include "control/pipe_server.hpp"

namespace velmor {

// The pipe's descriptor while its instances are made: owned by the
// Administrators; network logons denied first; LocalSystem, Administrators
// and the pipe's owner (OWNER RIGHTS: the account running a console helper,
// which owns its pipe when it may not name the Administrators) allowed
// everything; nobody else anything. On a pipe, the right to add an instance
// (FILE_CREATE_PIPE_INSTANCE) is the bit of FILE_APPEND_DATA, which
// GENERIC_WRITE maps to: a user who may write may add instances. So users
// get nothing until every instance the pipe allows exists.
inline constexpr const wchar_t* PIPE_SDDL_CREATING =
    L"O:BAD:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)";
// The same for a process that may not name the Administrators as owner.
inline constexpr const wchar_t* PIPE_SDDL_CREATING_WITHOUT_OWNER =
    L"D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)";
// The DACL once every instance exists: read and write, and nothing more, for
// the built-in Users and for the owner, so that every local user can open the
// pipe as clients do (GENERIC_READ | GENERIC_WRITE) and the owner cannot
// change the DACL either. Write still lets users add an instance, which the
// pipe then refuses (ERROR_PIPE_BUSY): the server holds every instance there
// may be for its whole life, and reuses each instead of making it again.
inline constexpr const wchar_t* PIPE_SDDL_SERVING =
    L"D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;OW)(A;;GRGW;;;BU)";

inline constexpr DWORD PIPE_BUFFER_BYTES = 65536;
// Enough for four clients that hold one each and keep reconnecting, and as
// many more beside them (see pipe_shares.hpp).
inline constexpr DWORD PIPE_MAX_INSTANCES = 8;
inline constexpr DWORD PIPE_MODE = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

// Duplex, and WRITE_DAC for the switch to PIPE_SDDL_SERVING; for the first
// instance also FILE_FLAG_FIRST_PIPE_INSTANCE, so that a pipe someone else
// created under the name makes creation fail instead of being joined.
inline DWORD pipe_open_mode(bool first_instance) {
    return PIPE_ACCESS_DUPLEX | WRITE_DAC | (first_instance ? static_cast<DWORD>(FILE_FLAG_FIRST_PIPE_INSTANCE) : 0u);
}

// Makes the instances of `name` that `instances` lacks, up to
// PIPE_MAX_INSTANCES, the first claiming the name, under PIPE_SDDL_CREATING
// (PIPE_SDDL_CREATING_WITHOUT_OWNER when the system refuses the
// Administrators as owner): nobody but the server can connect or add an
// instance yet. What was made stays in `instances` when one fails. Calls from
// the server's first thread.
std::optional<PipeCreateError> add_pipe_instances(const wchar_t* name, std::vector<unique_handle>& instances);

// Lets clients in: PIPE_SDDL_SERVING's DACL on the pipe of `instance`. Until
// it succeeds the pipe stays closed to users.
Result<> open_pipe_to_clients(HANDLE instance);

// The process that holds `name`, asked as a client that lends the holder
// nothing to act with (anonymous), waiting a little for an instance while
// all are busy; empty when the pipe cannot be opened or does not say.
std::optional<std::uint32_t> pipe_holder_process(const wchar_t* name);

// What `token` (an impersonation or identification token opened with
// TOKEN_QUERY) says for client_elevated.
Result<ClientStanding> client_standing(HANDLE token);

// run_pipe_server on the pipe `name`; tests use names of their own.
void serve_pipe(const wchar_t* name, PipeServerHost host);

}  // namespace velmor
