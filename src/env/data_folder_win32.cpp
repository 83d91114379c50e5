#include <string>

#include "base/os_error.hpp"
#include "base/win.hpp"
#include "env/data_folder.hpp"

namespace velmor {
namespace {

bool is_folder(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void find_close(HANDLE h) { ::FindClose(h); }
using unique_find_handle = unique_any<HANDLE, find_close>;  // null when empty

// Counts the bytes copied; the count is not used further.
DWORD CALLBACK count_copy_progress(LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER, LARGE_INTEGER, DWORD,
                                   DWORD, HANDLE, HANDLE, LPVOID context) {
    *static_cast<std::int64_t*>(context) = transferred.QuadPart;
    return PROGRESS_CONTINUE;
}

}  // namespace

Result<> create_folder_all(const std::filesystem::path& folder) {
    if (folder.empty()) return {};
    if (CreateDirectoryW(folder.c_str(), nullptr)) return {};
    DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS && is_folder(folder)) return {};
    if (code != ERROR_PATH_NOT_FOUND) {
        // A drive root refuses creation with an access error; it exists.
        if (is_folder(folder)) return {};
        return fail(os_error(code));
    }
    const std::filesystem::path parent = folder.parent_path();
    if (parent.empty() || parent == folder) return fail(os_error(code));
    if (Result<> made = create_folder_all(parent); !made) return made;
    if (CreateDirectoryW(folder.c_str(), nullptr)) return {};
    code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS && is_folder(folder)) return {};
    return fail(os_error(code));
}

namespace detail {

bool path_metadata_readable(const std::filesystem::path& path) {
    // Attribute access only, shared every way, so that a library that a
    // running core holds loaded is still seen; FILE_FLAG_BACKUP_SEMANTICS lets
    // a folder open too.
    unique_handle file = adopt_file_handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file) {
        BY_HANDLE_FILE_INFORMATION info{};
        return GetFileInformationByHandle(file.get(), &info) != FALSE;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION) return false;
    // Locked against every open: the directory entry still answers.
    WIN32_FIND_DATAW data{};
    const HANDLE search = FindFirstFileExW(path.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    const unique_find_handle found(search == INVALID_HANDLE_VALUE ? nullptr : search);
    return static_cast<bool>(found);
}

Result<> copy_file_over(const std::filesystem::path& source, const std::filesystem::path& destination) {
    std::int64_t copied = 0;
    if (!CopyFileExW(source.c_str(), destination.c_str(), count_copy_progress, &copied, nullptr, 0))
        return fail(os_error(GetLastError()));
    return {};
}

Result<PlaceOutcome> rename_without_replacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Without MOVEFILE_REPLACE_EXISTING the rename fails when the name is taken.
    if (MoveFileExW(from.c_str(), to.c_str(), 0)) return PlaceOutcome::Placed;
    const DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) return PlaceOutcome::AlreadyPresent;
    return fail(os_error(code));
}

void remove_file_quietly(const std::filesystem::path& path) { DeleteFileW(path.c_str()); }

std::filesystem::path::string_type temporary_copy_suffix() {
    return L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
}

}  // namespace detail
}  // namespace velmor
