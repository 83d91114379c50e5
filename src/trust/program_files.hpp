#pragma once
// What SYSTEM runs, loads and copies from the program folder, and what an
// administrator's allowance makes of a finding there: the one decision that
// install, the service host, the core library's load and velmor-ctl's
// folder check make. The reading of the allowance and the log belong to the
// callers, which pass them in. Any thread; nothing is shared.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "trust/file_trust.hpp"

namespace velmor::trust {

// The first entry under or above `folder` that SYSTEM should not trust, or
// none (find_unsafe): the folder and each of its ancestors up to the
// volume's root, the running executable (`exe`), `core_library`, wintun.dll
// and every other file there with the core library's extension, in any case
// (the loader resolves the core library's imports from that folder first).
// Fails closed: an executable path that cannot be read, or a folder that
// cannot be listed, makes the folder "it cannot be checked", with the
// failure as cause.
std::optional<Unsafe> find_unsafe_program_files(const std::filesystem::path& folder,
                                                const Result<std::filesystem::path>& exe,
                                                const std::filesystem::path::string_type& core_library,
                                                const EntryReader& reader, bool permissions_kept);

// What a finding comes to, given whether the administrator accepted an
// unsafe folder: Safe without one; Allowed only with an allowance read and
// given; otherwise Refused, also when the allowance could not be read.
enum class ProgramTrust : std::uint8_t { Safe, Allowed, Refused };
ProgramTrust program_trust(const std::optional<Unsafe>& unsafe, const Result<bool>& allowed);

// The note on a finding that a recorded allowance lets pass.
inline constexpr std::string_view ALLOWED_AT_INSTALL = " (allowed at install)";

// One line for the log; `warning` for the level of that name.
using TrustLog = std::function<void(bool warning, const std::string& line)>;

// program_trust with its lines: nothing when Safe; when Allowed, the warning
// "{what} is not safe: {path}: {reason} (allowed at install)" and success;
// when Refused, the error "{what} is not safe: {path}: {reason}" (with the
// failed check as cause), logged in full, then "cannot read {allowance}:
// {cause}" when `allowed` could not be read.
Result<> decide_program_trust(const std::string& what, const std::optional<Unsafe>& unsafe,
                              const Result<bool>& allowed, std::string_view allowance, const TrustLog& log);

}  // namespace velmor::trust
