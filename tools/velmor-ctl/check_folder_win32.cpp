#include "velmor-ctl/check_folder_win32.hpp"

#include <cstdio>
#include <filesystem>
#include <optional>

#include "base/error.hpp"
#include "base/os_error.hpp"
#include "base/win.hpp"
#include "env/data_folder_win32.hpp"
#include "env/locations.hpp"
#include "trust/entry.hpp"
#include "trust/install_folder.hpp"
#include "velmor-ctl/check_folder.hpp"

namespace velmor::ctl {
namespace {

// FOLDER in full (GetFullPathNameW, through std::filesystem::absolute).
Result<std::filesystem::path> full_folder(const std::wstring& given) {
    std::error_code error;
    const std::filesystem::path full = std::filesystem::absolute(given, error);
    if (error)
        return fail(os_error(static_cast<std::uint32_t>(error.value())).context("invalid folder " + narrow(given)));
    return without_closing_separator(full);
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

FolderCalls system_calls() {
    return {[](const std::filesystem::path& path) {
                std::error_code error;
                return std::filesystem::is_directory(path, error);
            },
            [](const std::filesystem::path& path) { return trust::permissions_kept(path); },
            {trust::read_entry, trust::list_folder, make_protected_folder}};
}

void print(const std::string& text, FILE* stream) {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace

std::string installed_folder_verdict(const std::filesystem::path& folder) {
    return installed_folder_verdict(folder, system_calls());
}

int check_folder_command(bool before_install, bool allowed, const std::optional<std::wstring>& given) {
    const CheckFolderOutcome outcome =
        check_folder_outcome(before_install, allowed, given ? full_folder(*given) : exe_dir(), system_calls());
    print(outcome.out, stdout);
    print(outcome.err, stderr);
    return outcome.status;
}

}  // namespace velmor::ctl
