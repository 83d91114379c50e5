#pragma once
// velmor-ctl's `diag FOLDER`: a support bundle a person can attach to a
// ticket. What it holds is decided here, portably: the parts and their file
// names, the README that says what each is, what a part that could not be
// collected writes, where the bundle may be written, and how what was read
// is put as text. diag_win32.cpp only collects. Nothing in the bundle is a
// configuration or a request body: no part reads the data folder's files,
// and the logs are the helper's own lines. Main thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "service/recovery_settings.hpp"
#include "trust/file_trust.hpp"
#include "velmor-ctl/ctl_command_line.hpp"

namespace velmor::ctl {

enum class DiagPart : std::uint8_t { Versions, Registration, Settings, Trust, Status, Log, OldLog, Events };

// One file of the bundle and what the README says of it.
struct DiagPartRow {
    DiagPart part;
    std::string_view file;
    std::string_view about;
};

inline constexpr std::string_view DIAG_README_FILE = "README.txt";

inline constexpr DiagPartRow DIAG_PARTS[] = {
    {DiagPart::Versions, "versions.txt",
     "the versions of velmor-ctl.exe, of the velmor-helper.exe beside it and of the executable the service is "
     "registered with"},
    {DiagPart::Registration, "service.txt",
     "the velmor-helper service as the service manager holds it (type, start, account, executable, state, "
     "recovery actions) and its event log keys in the registry"},
    {DiagPart::Settings, "settings.txt",
     "the helper's settings key: the ControlAccess policy and the AllowUnsafeFolder allowance, read with the "
     "helper's own check of who may change the key"},
    {DiagPart::Trust, "folders.txt",
     "whether the program folder and the data folder may be trusted, judged as check-folder and the helper judge "
     "them; nothing is changed"},
    {DiagPart::Status, "status.txt", "what `velmor-ctl status` prints, or why it got no reply"},
    {DiagPart::Log, "velmor-helper.log.txt", "the helper's log, its times in local ISO 8601"},
    {DiagPart::OldLog, "velmor-helper.log.1.txt",
     "the helper's previous log (the one before its last rotation), its times in local ISO 8601"},
    {DiagPart::Events, "events.txt", "the helper's recent events in the Windows Event Log, oldest first"},
};

// README.txt: what the bundle is, by which velmor-ctl, and each file.
std::string diag_readme(std::string_view version_line);

// The text of a part's file: what was collected, or "error: {why, on one
// line}" when it could not be. Either way every control character is
// escaped, as the log escapes it, and the file ends in a line feed.
std::string part_file_text(const Result<std::string>& collected);

// What FOLDER is when diag starts.
enum class FolderFound : std::uint8_t { Missing, Empty, NotEmpty, NotAFolder };

// Whether the bundle may go into FOLDER, and whether it has to be made
// first: never into a folder that holds anything, nor over a file, so that
// nothing a person keeps there is ever overwritten.
Result<bool> bundle_folder_needs_making(FolderFound found, std::string_view folder);

// One line per value, "{name}: {value}"; a value that could not be read
// gives "{name}: cannot be read: {error}".
struct DiagField {
    std::string name;
    Result<std::string> value;
};
std::string fields_text(std::span<const DiagField> fields);

// A number of the service's registration or status with its documented name
// (QUERY_SERVICE_CONFIGW, SERVICE_STATUS_PROCESS): "2 (automatic)"; a
// number without a name stays a number.
enum class ServiceNumber : std::uint8_t { Type, StartType, ErrorControl, State };
std::string service_number_text(ServiceNumber kind, std::uint32_t value);

// The recovery actions as read: "restart after 5 s, ...", the reset period,
// and recovery on non-crash failures; a part the service manager did not
// give is "not readable".
std::string recovery_text(const RecoverySettings& recovery);

// The settings as the helper reads them: the policy's text or "not set",
// the allowance "set" or "not set"; a read that fails (the key fails the
// helper's check among others) says so and that the helper then grants
// nothing, never "not set".
std::string settings_text(const Result<std::optional<std::string>>& policy, const Result<bool>& allowance);

// The data folder's two folders (the parent of `service_data_dir`, then it)
// judged as the helper judges them before a start, without changing
// anything: one line each, "safe", "missing", "not safe: {reason}" or
// "cannot be checked: {error}". Where the volume keeps no permissions
// (`permissions_kept` false) only links and kinds are judged, and the
// lines say so.
std::string data_folder_verdict(const std::filesystem::path& service_data_dir, const trust::EntryReader& reader,
                                bool permissions_kept);

// One record of an event log, as read.
struct EventEntry {
    std::int64_t written = 0;  // seconds since 1970-01-01 UTC
    std::uint32_t id = 0;      // the event id as reported (its low 16 bits name the message)
    std::uint16_t type = 0;    // EVENTLOG_*_TYPE
    std::string source;
    std::vector<std::string> strings;
};

// "{ISO local time} {error|warning|information|type N} {id}: {strings, '; '}"
// for a record of `source` (compared without case, as the Event Log does),
// none for any other source. `offset_minutes` gives the local offset at an
// instant (100-ns intervals since 1601).
std::optional<std::string> event_line(const EventEntry& entry, std::string_view source,
                                      const std::function<int(std::int64_t)>& offset_minutes);

#ifdef _WIN32
// The command (Windows): exit status 0 once the bundle is written, 1 when
// FOLDER cannot be made or written.
int run_diag(const CtlCommand& command);
#endif

}  // namespace velmor::ctl
