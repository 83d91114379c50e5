#include "velmor-ctl/check_folder_win32.hpp"

#include <cstdio>
#include <filesystem>
#include <optional>

#include "base/error.hpp"
#include "base/names.hpp"
#include "base/os_error.hpp"
#include "base/win.hpp"
#include "core/core_library.hpp"
#include "env/data_folder_win32.hpp"
#include "env/locations.hpp"
#include "trust/entry.hpp"
#include "trust/install_folder.hpp"
#include "trust/program_files.hpp"

namespace velmor::ctl {
namespace {

constexpr int EXIT_SAFE = 0, EXIT_UNSAFE = 1, EXIT_USAGE = 2;

int print_failure(const std::string& text, int status) {
    const std::string line = "velmor-ctl: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return status;
}

// FOLDER in full, without the "\." or "\" the package may end it with.
Result<std::filesystem::path> full_folder(const std::wstring& given) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::absolute(given, error).lexically_normal();
    if (error)
        return fail(os_error(static_cast<std::uint32_t>(error.value())).context("invalid folder " + narrow(given)));
    if (!folder.has_filename() && folder.has_relative_path()) folder = folder.parent_path();
    return folder;
}

// One folder with the data folders' protected DACL, owned by the
// Administrators: nobody else ever holds a handle on it.
Result<> make_protected_folder(const std::filesystem::path& folder) {
    PSECURITY_DESCRIPTOR descriptor = detail::protected_folder_descriptor();
    if (descriptor == nullptr) return fail("cannot build the folder's security descriptor");
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    if (!CreateDirectoryW(folder.c_str(), &security) && GetLastError() != ERROR_ALREADY_EXISTS)
        return fail(last_call_error("CreateDirectoryW"));
    return {};
}

// The check install makes, with the service's executable and this client
// by their names in `folder`.
std::optional<trust::Unsafe> find_unsafe_installed(const std::filesystem::path& folder, bool kept) {
    const Result<std::filesystem::path> helper(folder / EXECUTABLE_NAME_WIDE);
    if (std::optional<trust::Unsafe> unsafe =
            trust::find_unsafe_program_files(folder, helper, core_library_file_name(), trust::read_entry, kept))
        return unsafe;
    return trust::find_unsafe(folder, {folder / L"velmor-ctl.exe"}, trust::read_entry, kept);
}

// Asked of the volume the folder is on, through the nearest folder above it
// that exists: nothing is made in the folder before it is judged.
bool volume_keeps_permissions(const std::filesystem::path& folder) {
    std::filesystem::path above = folder.parent_path();
    std::error_code error;
    while (!std::filesystem::is_directory(above, error) && above.has_relative_path()) above = above.parent_path();
    return trust::permissions_kept(above);
}

// Where the volume keeps no permissions only links and kinds could be
// judged: "safe" would say more than was checked.
std::string safe_line(const std::filesystem::path& folder, bool kept) {
    return (kept ? "program folder is safe: "
                 : "program folder: permissions cannot be enforced on this volume, only links and kinds were checked: ") +
           narrow(folder.native());
}

}  // namespace

std::string installed_folder_verdict(const std::filesystem::path& folder) {
    const bool kept = volume_keeps_permissions(folder);
    if (const std::optional<trust::Unsafe> unsafe = find_unsafe_installed(folder, kept))
        return trust::unsafe_error("program folder", *unsafe).one_line();
    return safe_line(folder, kept);
}

int check_folder_command(bool before_install, bool allowed, const std::optional<std::wstring>& given) {
    Result<std::filesystem::path> folder = given ? full_folder(*given) : exe_dir();
    if (!folder) return print_failure(folder.error().one_line(), EXIT_USAGE);

    const bool kept = volume_keeps_permissions(*folder);
    const std::optional<trust::Unsafe> unsafe =
        before_install ? trust::find_unsafe_install_folder(
                             *folder, {trust::read_entry, trust::list_folder, make_protected_folder}, kept, allowed)
                       : find_unsafe_installed(*folder, kept);
    if (unsafe) return print_failure(trust::unsafe_error("program folder", *unsafe).one_line(), EXIT_UNSAFE);
    const std::string line = safe_line(*folder, kept) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    return EXIT_SAFE;
}

}  // namespace velmor::ctl
