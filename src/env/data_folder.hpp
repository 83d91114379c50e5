#pragma once
// Preparing the service data folder before a core starts: the folders and
// the Wintun library the core needs. Runs on the thread that carries out a
// start request, and once when the helper starts and in the install command
// (prepare_data_folder only); shares nothing but the entry module's
// per-volume probe and takes no lock of its own.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "trust/entry.hpp"

namespace velmor {

// The descriptor of `Velmor` and `Velmor\service`, as the helper creates
// them and as the package creates `Velmor`: owner the Administrators;
// protected DACL: SYSTEM and the Administrators full control, Users read and
// execute, each inherited by folders and files inside.
inline constexpr std::string_view DATA_FOLDER_SDDL = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Creates `folder` and every missing ancestor (no security attributes: new
// folders inherit their parent's permissions). A folder that already exists
// is no error.
Result<> create_folder_all(const std::filesystem::path& folder);

// `Velmor` and `Velmor\service`, checked and held open, so that neither can
// be renamed, deleted or swapped for something else until this goes (the end
// of the start action). Move-only.
class PreparedDataFolder {
public:
    PreparedDataFolder() = default;
    explicit PreparedDataFolder(std::vector<trust::OpenedEntry> held) : held_(std::move(held)) {}

private:
    std::vector<trust::OpenedEntry> held_;
};

// Prepares `Velmor` and `Velmor\service` (the parent of `service_data_dir`)
// and checks a `log` folder already inside, so that no one but SYSTEM and
// the Administrators (on POSIX: root and the process's own user) can write
// there. A folder that is a link of any kind, not a folder at all, or (where
// the volume keeps permissions) owned by anyone else or writable by anyone
// else, is renamed aside through a handle on the entry itself to
// "{name}.untrusted-{time}" in the same parent ("data folder: set aside
// {path} as {aside}: {reason}"); nothing inside it is opened or trusted. A
// `Velmor` whose only fault is its owner or DACL and that cannot be set
// aside gets DATA_FOLDER_SDDL in place and is checked again ("data folder:
// reset the owner and DACL of {path} in place ({reason}): it cannot be set
// aside: {cause}"). Owners and DACLs are judged where the folder's own
// volume keeps them (trust::permissions_kept), links and kinds always. A
// missing `Velmor` or `service` is created with the protected descriptor;
// `log` is left to start_core. Whatever cannot be made safe fails: "data
// folder is not safe: {path}: {cause}" (also logged). Folders above `Velmor`
// are created as create_folder_all does. Takes no lock.
Result<PreparedDataFolder> prepare_data_folder(const std::filesystem::path& service_data_dir);

// Makes the service data folder's "wintun.dll" the same as the one next to
// the executable: a missing copy is placed ("ensure_wintun: copy failed: "
// with the system error is logged when that fails; the start goes on); a
// copy that differs, or is not a regular file, is replaced through a
// temporary name and a rename ("ensure_wintun: replaced a copy that differed
// from the installed one"); when that fails, the error is "wintun.dll in the
// data folder differs from the installed one and cannot be replaced:
// {cause}" (also logged) and the start must be refused. A copy that cannot
// be opened to compare (someone holds it open without sharing) is not
// replaced: "wintun.dll in the data folder is held open and cannot be
// compared", with the system's refusal as cause (also logged), and the
// start must be refused. A placed copy is for SYSTEM and the Administrators
// alone (others could hold it open and refuse every start); so is an
// identical copy found, which is otherwise left untouched. Without a source
// nothing happens.
Result<> ensure_wintun(const std::filesystem::path& service_data_dir);

namespace detail {

// ensure_wintun with the source folder given.
Result<> place_wintun(const std::filesystem::path& source_dir, const std::filesystem::path& service_data_dir);

// The points of a set-aside at which `observer` of prepare_data_folder_with
// is called, after a folder that could not be set aside was reset in place
// (`AfterRepair`, with an empty aside), and once both folders are held
// (`Held`, with the service data folder and an empty aside).
enum class SetAsideStep : std::uint8_t { BeforeRename, AfterRename, AfterRepair, Held };
using SetAsideObserver =
    std::function<void(SetAsideStep step, const std::filesystem::path& folder, const std::filesystem::path& aside)>;

// prepare_data_folder, calling `observer` (when set) at each step: a test's
// way to act as someone racing the helper.
Result<PreparedDataFolder> prepare_data_folder_with(const std::filesystem::path& service_data_dir,
                                                    const SetAsideObserver& observer);

// Creates the folder with the protected descriptor (owner and mode). False
// when something already stands there.
Result<bool> create_protected_folder(const std::filesystem::path& folder);

// Gives the folder at `path`, checked to be `identity`, DATA_FOLDER_SDDL's
// owner and protected DACL through a handle on the folder itself (POSIX: the
// process's user as owner, mode 0755).
Result<> reset_folder_security(const std::filesystem::path& path, const trust::EntryIdentity& identity);

// How two files compare by size, then content. Fails when either cannot be
// read; `Different` also when `copy` is not a regular file (a link, a
// folder); `Held` when `copy` is there but refuses to open, with the
// refusal in `held_by`.
enum class Comparison : std::uint8_t { Same, Different, Missing, Held };
Result<Comparison> compare_with(const std::filesystem::path& source, const std::filesystem::path& copy,
                                std::optional<Error>& held_by);

// Takes from a copy every access but SYSTEM's and the Administrators' (the
// owner keeps what owners have).
Result<> make_private_copy(const std::filesystem::path& copy);

// True when the path's metadata can be read, following links (any kind of
// entry). The file may be locked against opening.
bool path_metadata_readable(const std::filesystem::path& path);

// Renames `from` to `to`, replacing what is there. The error's message is
// the system error text.
Result<> rename_replacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file; failures are ignored.
void remove_file_quietly(const std::filesystem::path& path);

// A name for this process's temporary copy, unique among processes.
std::filesystem::path::string_type temporary_copy_suffix();

}  // namespace detail
}  // namespace velmor
