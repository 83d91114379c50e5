#include "velmor-ctl/check_folder.hpp"

#include "base/names.hpp"
#include "base/path.hpp"
#include "core/core_library.hpp"
#include "trust/program_files.hpp"

namespace velmor::ctl {
namespace {

// The check install makes, with the service's executable and this client
// by their names in `folder`.
std::optional<trust::Unsafe> find_unsafe_installed(const std::filesystem::path& folder, const FolderCalls& calls,
                                                   bool kept) {
    const Result<std::filesystem::path> helper(folder / EXECUTABLE_NAME_WIDE);
    if (std::optional<trust::Unsafe> unsafe =
            trust::find_unsafe_program_files(folder, helper, core_library_file_name(), calls.access.read, kept))
        return unsafe;
    return trust::find_unsafe(folder, {folder / "velmor-ctl.exe"}, calls.access.read, kept);
}

// Asked of the volume the folder is on, through the nearest folder above it
// that exists: nothing is made in the folder before it is judged.
bool volume_keeps_permissions(const std::filesystem::path& folder, const FolderCalls& calls) {
    std::filesystem::path above = folder.parent_path();
    while (!calls.is_folder(above) && above.has_relative_path()) above = above.parent_path();
    return calls.permissions_kept(above);
}

// Where the volume keeps no permissions only links and kinds could be
// judged: "safe" would say more than was checked.
std::string safe_line(const std::filesystem::path& folder, bool kept) {
    return (kept ? "program folder is safe: "
                 : "program folder: permissions cannot be enforced on this volume, only links and kinds were checked: ") +
           path_to_utf8(folder);
}

}  // namespace

std::filesystem::path without_closing_separator(const std::filesystem::path& full) {
    std::filesystem::path folder = full.lexically_normal();
    if (!folder.has_filename() && folder.has_relative_path()) folder = folder.parent_path();
    return folder;
}

CheckFolderOutcome check_folder_outcome(bool before_install, bool allowed,
                                        const Result<std::filesystem::path>& folder, const FolderCalls& calls) {
    if (!folder) return {CHECK_USAGE, "", "velmor-ctl: " + folder.error().one_line() + "\n"};
    const bool kept = volume_keeps_permissions(*folder, calls);
    const std::optional<trust::Unsafe> unsafe =
        before_install ? trust::find_unsafe_install_folder(*folder, calls.access, kept, allowed)
                       : find_unsafe_installed(*folder, calls, kept);
    if (unsafe)
        return {CHECK_UNSAFE, "", "velmor-ctl: " + trust::unsafe_error("program folder", *unsafe).one_line() + "\n"};
    return {CHECK_SAFE, safe_line(*folder, kept) + "\n", ""};
}

std::string installed_folder_verdict(const std::filesystem::path& folder, const FolderCalls& calls) {
    const bool kept = volume_keeps_permissions(folder, calls);
    if (const std::optional<trust::Unsafe> unsafe = find_unsafe_installed(folder, calls, kept))
        return trust::unsafe_error("program folder", *unsafe).one_line();
    return safe_line(folder, kept);
}

}  // namespace velmor::ctl
