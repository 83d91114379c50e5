#include <cstring>
#include <string>
#include <vector>

#include "base/file_ops.hpp"
#include "base/os_error.hpp"
#include "base/win.hpp"
#include "env/data_folder.hpp"
#include "env/data_folder_win32.hpp"
#include "trust/entry_win32.hpp"
#include "trust/file_trust_win32.hpp"
// After <windows.h>:
#include <aclapi.h>
#include <sddl.h>

namespace velmor {
namespace {

bool is_folder(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void find_close(HANDLE h) { ::FindClose(h); }
using unique_find_handle = unique_any<HANDLE, find_close>;  // null when empty

// The protected descriptor without an owner, for a run that may not name
// the Administrators as owner (not elevated): the folder is then owned by
// the process's user.
constexpr const wchar_t* PROTECTED_FOLDER_SDDL_WITHOUT_OWNER =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

PSECURITY_DESCRIPTOR ownerless_protected_descriptor() {
    // Built once and deliberately never freed: a thread may still use it
    // while the process ends.
    static const PSECURITY_DESCRIPTOR descriptor = [] {
        PSECURITY_DESCRIPTOR built = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PROTECTED_FOLDER_SDDL_WITHOUT_OWNER, SDDL_REVISION_1,
                                                                  &built, nullptr))
            built = nullptr;
        return built;
    }();
    return descriptor;
}

// Creates `folder` with the protected descriptor, or without an owner when
// the Administrators cannot be named. The system's error code otherwise.
DWORD create_protected(const std::filesystem::path& folder) {
    const PSECURITY_DESCRIPTOR wanted = detail::protected_folder_descriptor();
    if (wanted == nullptr) return ERROR_INVALID_SECURITY_DESCR;
    SECURITY_ATTRIBUTES security{sizeof security, wanted, FALSE};
    if (CreateDirectoryW(folder.c_str(), &security)) return ERROR_SUCCESS;
    if (GetLastError() != ERROR_INVALID_OWNER) return GetLastError();
    security.lpSecurityDescriptor = ownerless_protected_descriptor();
    if (security.lpSecurityDescriptor == nullptr) return ERROR_INVALID_SECURITY_DESCR;
    if (CreateDirectoryW(folder.c_str(), &security)) return ERROR_SUCCESS;
    return GetLastError();
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

PSECURITY_DESCRIPTOR protected_folder_descriptor() {
    // Built once and deliberately never freed: a thread may still use it
    // while the process ends.
    static const PSECURITY_DESCRIPTOR descriptor = [] {
        PSECURITY_DESCRIPTOR built = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(widen(DATA_FOLDER_SDDL).c_str(), SDDL_REVISION_1,
                                                                  &built, nullptr))
            built = nullptr;
        return built;
    }();
    return descriptor;
}

std::optional<std::string> folder_security_problem_of(PSECURITY_DESCRIPTOR descriptor) {
    if (descriptor == nullptr) return "no security descriptor";
    const Result<trust::Permissions> permissions = trust::permissions_of(descriptor);
    if (!permissions) return "its DACL cannot be read";
    return trust::entry_problem({trust::EntryKind::Folder, *permissions}, trust::EntryKind::Folder,
                                trust::TrustRole::DataFolder);
}

Result<> reset_folder_security(const std::filesystem::path& path, const trust::EntryIdentity& identity) {
    const PSECURITY_DESCRIPTOR wanted = protected_folder_descriptor();
    if (wanted == nullptr) return fail(os_error(ERROR_INVALID_SECURITY_DESCR));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    if (!GetSecurityDescriptorDacl(wanted, &present, &dacl, &defaulted) || !present ||
        !GetSecurityDescriptorOwner(wanted, &owner, &defaulted) || owner == nullptr)
        return fail(os_error(ERROR_INVALID_SECURITY_DESCR));
    // WRITE_OWNER and WRITE_DAC come from the restore privilege (SYSTEM, an
    // elevated administrator) whatever the DACL found says; they need no
    // sharing, so a holder that shares nothing does not stop the reset.
    Result<unique_handle> folder = trust::open_entry_checked(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER, identity);
    if (!folder) return fail(std::move(folder.error()));
    // The protected DACL is passed on to what is inside that inherits.
    const DWORD code = SetSecurityInfo(folder->get(), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                           PROTECTED_DACL_SECURITY_INFORMATION,
                                       owner, nullptr, dacl, nullptr);
    if (code != ERROR_SUCCESS) return fail(call_error("SetSecurityInfo", code));
    return {};
}

Result<bool> create_protected_folder(const std::filesystem::path& folder) {
    const DWORD code = create_protected(folder);
    if (code == ERROR_SUCCESS) return true;
    if (code == ERROR_ALREADY_EXISTS) return false;
    return fail(call_error("CreateDirectoryW", code));
}

Result<Comparison> compare_with(const std::filesystem::path& source, const std::filesystem::path& copy,
                                std::optional<Error>& held_by) {
    // Shared every way, so that a copy a running core holds loaded is read.
    constexpr DWORD SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const unique_handle theirs = adopt_file_handle(CreateFileW(
        copy.c_str(), GENERIC_READ, SHARE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr));
    if (!theirs) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Comparison::Missing;
        // There but refusing: held open without sharing (or its DACL
        // changed); never taken for a copy that differs.
        held_by = call_error("CreateFileW", code);
        return Comparison::Held;
    }
    // A link or folder in its place (the facts by path: Wine follows links
    // even when asked not to).
    const Result<std::optional<trust::EntryFacts>> facts = trust::read_entry(copy);
    if (!facts || !*facts || (*facts)->kind != trust::EntryKind::File) return Comparison::Different;

    const unique_handle ours = adopt_file_handle(
        CreateFileW(source.c_str(), GENERIC_READ, SHARE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!ours) return fail(last_call_error("CreateFileW"));
    LARGE_INTEGER a_size{};
    LARGE_INTEGER b_size{};
    if (!GetFileSizeEx(ours.get(), &a_size) || !GetFileSizeEx(theirs.get(), &b_size))
        return fail(last_call_error("GetFileSizeEx"));
    if (a_size.QuadPart != b_size.QuadPart) return Comparison::Different;
    std::vector<char> a(65536);
    std::vector<char> b(65536);
    for (;;) {
        DWORD a_read = 0;
        DWORD b_read = 0;
        if (!ReadFile(ours.get(), a.data(), static_cast<DWORD>(a.size()), &a_read, nullptr) ||
            !ReadFile(theirs.get(), b.data(), static_cast<DWORD>(b.size()), &b_read, nullptr))
            return fail(last_call_error("ReadFile"));
        if (a_read != b_read || std::memcmp(a.data(), b.data(), a_read) != 0) return Comparison::Different;
        if (a_read == 0) return Comparison::Same;
    }
}

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

Result<> make_private_copy(const std::filesystem::path& copy) {
    // Built once and deliberately never freed: a thread may still use it
    // while the process ends.
    static const PACL dacl = []() -> PACL {
        PSECURITY_DESCRIPTOR built = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PRIVATE_COPY_SDDL, SDDL_REVISION_1, &built, nullptr))
            return nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        PACL found = nullptr;
        if (!GetSecurityDescriptorDacl(built, &present, &found, &defaulted) || !present) return nullptr;
        return found;
    }();
    if (dacl == nullptr) return fail(os_error(ERROR_INVALID_SECURITY_DESCR));
    std::wstring name = copy.native();
    const DWORD code = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, dacl, nullptr);
    if (code != ERROR_SUCCESS) return fail(os_error(code));
    return {};
}

Result<> rename_replacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    constexpr file_ops::Rename REPLACE = file_ops::Rename::ReplaceExisting;
    Result<> moved = file_ops::rename_file(from, to, REPLACE);
    if (moved) return {};
    const DWORD code = moved.error().system_code().value_or(0);
    // A read-only file refuses to be replaced; the attribute is no reason to
    // keep it.
    const DWORD attributes = GetFileAttributesW(to.c_str());
    if (code != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        !SetFileAttributesW(to.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)))
        return fail(os_error(code));
    moved = file_ops::rename_file(from, to, REPLACE);
    if (moved) return {};
    return fail(os_error(moved.error().system_code().value_or(0)));
}

void remove_file_quietly(const std::filesystem::path& path) { DeleteFileW(path.c_str()); }

std::filesystem::path::string_type temporary_copy_suffix() {
    return L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
}

}  // namespace detail
}  // namespace velmor
