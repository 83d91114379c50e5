#include <string>

#include "base/os_error.hpp"
#include "base/win.hpp"
#include "env/data_folder.hpp"
#include "env/data_folder_win32.hpp"
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

// Counts the bytes copied; the count is not used further.
DWORD CALLBACK count_copy_progress(LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER, LARGE_INTEGER, DWORD,
                                   DWORD, HANDLE, HANDLE, LPVOID context) {
    *static_cast<std::int64_t*>(context) = transferred.QuadPart;
    return PROGRESS_CONTINUE;
}

// "{call} failed: {code}" with the system's text as cause.
Error failed_call(const char* call, DWORD code) {
    return Error(std::string(call) + " failed: " + std::to_string(code), os_error(code));
}

constexpr DWORD READ_AND_EXECUTE = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;  // 0x1200a9

bool is_system_or_administrators(PSID sid) {
    return IsValidSid(sid) && (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

// For this thread only (on a copy of the process token), enables taking
// ownership and restoring, so that a folder whose DACL shuts out SYSTEM and
// the Administrators can still be taken over; without those privileges (not
// elevated) nothing changes. The thread's own token goes when this ends.
class RepairPrivileges {
public:
    RepairPrivileges() {
        if (!ImpersonateSelf(SecurityImpersonation)) return;
        impersonating_ = true;
        HANDLE token = nullptr;
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, TRUE, &token)) return;
        const unique_handle owned(token);
        for (const wchar_t* name : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME}) {
            TOKEN_PRIVILEGES wanted{};
            wanted.PrivilegeCount = 1;
            wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            if (LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid))
                AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr);
        }
    }
    ~RepairPrivileges() {
        if (impersonating_) RevertToSelf();
    }
    RepairPrivileges(const RepairPrivileges&) = delete;
    RepairPrivileges& operator=(const RepairPrivileges&) = delete;

private:
    bool impersonating_ = false;
};

// Opens the entry itself, never what a link points to.
unique_handle open_entry(const std::filesystem::path& path, DWORD access) {
    return adopt_file_handle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Removes the link at `path` through a handle that is checked to be the link
// itself: a system that opens the link's target instead (Wine does) gets an
// error, and the target is left alone.
Result<> remove_link(const std::filesystem::path& path) {
    const unique_handle link = open_entry(path, DELETE | FILE_READ_ATTRIBUTES);
    if (!link) return fail(failed_call("CreateFileW", GetLastError()));
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof tag))
        return fail(failed_call("GetFileInformationByHandleEx", GetLastError()));
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return fail("the system opened what the link points to, not the link");
    // Deleting through the handle removes the link, whether it stands for a
    // folder or a file.
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(link.get(), FileDispositionInfo, &disposition, sizeof disposition))
        return fail(failed_call("SetFileInformationByHandle", GetLastError()));
    return {};
}

struct DescriptorParts {
    PSID owner = nullptr;
    PACL dacl = nullptr;
};

DescriptorParts parts_of(PSECURITY_DESCRIPTOR descriptor) {
    DescriptorParts parts;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &parts.owner, &defaulted)) parts.owner = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &parts.dacl, &defaulted) || !present) parts.dacl = nullptr;
    return parts;
}

// The folder's owner and DACL judged; an error when they cannot be read.
Result<bool> handle_security_is_safe(HANDLE folder) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD code = GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &raw);
    if (code != ERROR_SUCCESS) return fail(failed_call("GetSecurityInfo", code));
    const unique_hlocal descriptor(raw);
    return detail::folder_security_is_safe(raw);
}

// Owner and protected DACL of PROTECTED_FOLDER_SDDL set on `folder`, then
// read back: a system that reports success but keeps nothing (Wine) is
// caught here.
Result<> set_protected_security(HANDLE folder) {
    PSECURITY_DESCRIPTOR wanted = detail::protected_folder_descriptor();
    if (wanted == nullptr) return fail("the folder descriptor could not be built");
    const DescriptorParts parts = parts_of(wanted);
    const DWORD code = SetSecurityInfo(
        folder, SE_FILE_OBJECT,
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, parts.owner,
        nullptr, parts.dacl, nullptr);
    if (code != ERROR_SUCCESS) return fail(failed_call("SetSecurityInfo", code));
    const Result<bool> safe = handle_security_is_safe(folder);
    if (!safe) return fail(std::move(safe.error()));
    if (!*safe) return fail("the owner and permissions set did not hold");
    return {};
}

// Checks an existing folder through a handle of its own and repairs it.
// Empty when the handle turned out to be a link after all.
std::optional<detail::FolderOutcome> check_existing_folder(const std::filesystem::path& path) {
    detail::FolderOutcome outcome;
    const RepairPrivileges privileges;
    unique_handle folder = open_entry(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER);
    std::optional<Error> open_error;
    if (!folder) {
        open_error = failed_call("CreateFileW", GetLastError());
        folder = open_entry(path, READ_CONTROL);
    }
    if (!folder) {
        outcome.state = detail::FolderState::RepairFailed;
        outcome.repair_error = failed_call("CreateFileW", GetLastError());
        return outcome;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return std::nullopt;
        if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return outcome;  // Absent: a file
    }
    const Result<bool> safe = handle_security_is_safe(folder.get());
    if (safe && *safe) {
        outcome.state = detail::FolderState::Safe;
        return outcome;
    }
    if (!safe) {
        outcome.state = detail::FolderState::RepairFailed;
        outcome.repair_error = safe.error();
        return outcome;
    }
    if (open_error) {
        outcome.state = detail::FolderState::RepairFailed;
        outcome.repair_error = std::move(open_error);
        return outcome;
    }
    if (Result<> repaired = set_protected_security(folder.get()); !repaired) {
        outcome.state = detail::FolderState::RepairFailed;
        outcome.repair_error = std::move(repaired.error());
        return outcome;
    }
    outcome.state = detail::FolderState::Repaired;
    return outcome;
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
    static const unique_hlocal descriptor = [] {
        PSECURITY_DESCRIPTOR built = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PROTECTED_FOLDER_SDDL, SDDL_REVISION_1, &built,
                                                                  nullptr))
            built = nullptr;
        return unique_hlocal(built);
    }();
    return descriptor.get();
}

bool folder_security_is_safe(PSECURITY_DESCRIPTOR descriptor) {
    if (descriptor == nullptr) return false;
    const DescriptorParts parts = parts_of(descriptor);
    if (parts.owner == nullptr || !is_system_or_administrators(parts.owner)) return false;
    // No DACL at all grants everyone everything.
    if (parts.dacl == nullptr) return false;
    GENERIC_MAPPING file_mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    for (DWORD i = 0; i < parts.dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(parts.dacl, i, &ace)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        switch (header->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: break;  // same layout up to the SID
            case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: return false;  // grants of a shape files never carry
            default: continue;                                            // deny, audit, label
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (is_system_or_administrators(&allowed->SidStart)) continue;
        // CREATOR OWNER and the like count as anyone else: whoever creates
        // something inside would get the rights.
        ACCESS_MASK mask = allowed->Mask;
        MapGenericMask(&mask, &file_mapping);
        if ((mask & ~READ_AND_EXECUTE) != 0) return false;
    }
    return true;
}

Result<FolderOutcome> secure_folder(const std::filesystem::path& folder, bool create) {
    FolderOutcome outcome;
    // A few rounds, in case someone keeps putting a link back in between.
    for (int round = 0; round < 3; ++round) {
        // The attributes of the entry itself: a link reports itself here.
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            if (Result<> removed = remove_link(folder); !removed) return fail(std::move(removed.error()));
            outcome.link_removed = true;
            continue;
        }
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (!create) return outcome;
            SECURITY_ATTRIBUTES security{sizeof security, protected_folder_descriptor(), FALSE};
            if (CreateDirectoryW(folder.c_str(), &security)) {
                outcome.state = FolderState::Created;
                return outcome;
            }
            const DWORD code = GetLastError();
            if (code == ERROR_INVALID_OWNER) {
                // Not elevated: Administrators cannot be named as owner. The
                // folder is made as it always was, inheriting.
                if (!CreateDirectoryW(folder.c_str(), nullptr)) return outcome;
                outcome.state = FolderState::RepairFailed;
                outcome.repair_error = failed_call("CreateDirectoryW", code);
                return outcome;
            }
            if (code != ERROR_ALREADY_EXISTS) return outcome;  // ignored, as any failed creation
            continue;                                          // made by someone else meanwhile: look again
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return outcome;
        if (std::optional<FolderOutcome> checked = check_existing_folder(folder)) {
            checked->link_removed = outcome.link_removed;
            return *checked;
        }
    }
    return outcome;
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

Result<> copy_file_over(const std::filesystem::path& source, const std::filesystem::path& destination) {
    std::int64_t copied = 0;
    if (!CopyFileExW(source.c_str(), destination.c_str(), count_copy_progress, &copied, nullptr, 0))
        return fail(os_error(GetLastError()));
    return {};
}

Result<> rename_replacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
    return fail(os_error(GetLastError()));
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
