#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/os_error.hpp"
#include "base/win.hpp"
#include "env/data_folder.hpp"
#include "env/data_folder_win32.hpp"
#include "trust/file_trust_win32.hpp"
// After <windows.h>:
#include <aclapi.h>
#include <sddl.h>

namespace velmor {

namespace detail {

struct OpenedEntry {
    unique_handle handle;
    // Opened without READ_CONTROL: its DACL shuts the helper out.
    bool security_unreadable = false;
    EntryIdentity identity;
};

void OpenedEntryCloser::operator()(OpenedEntry* entry) const { delete entry; }

}  // namespace detail

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

// For this thread only (on a copy of the process token), enables the backup
// and restore privileges, so that a folder whose DACL shuts out SYSTEM and
// the Administrators can still be read and renamed aside through
// FILE_FLAG_BACKUP_SEMANTICS. Without them (not elevated) nothing changes;
// the checks then fail closed where access is refused.
class BackupPrivileges {
public:
    BackupPrivileges() {
        if (!ImpersonateSelf(SecurityImpersonation)) return;
        impersonating_ = true;
        HANDLE token = nullptr;
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, TRUE, &token)) return;
        const unique_handle owned(token);
        for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
            TOKEN_PRIVILEGES wanted{};
            wanted.PrivilegeCount = 1;
            wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            if (!LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid)) continue;
            // TRUE with ERROR_NOT_ALL_ASSIGNED when the token lacks the
            // privilege: only ERROR_SUCCESS means it is enabled.
            SetLastError(ERROR_SUCCESS);
            if (AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS)
                ++enabled_;
        }
    }
    ~BackupPrivileges() {
        if (impersonating_) RevertToSelf();
    }
    BackupPrivileges(const BackupPrivileges&) = delete;
    BackupPrivileges& operator=(const BackupPrivileges&) = delete;

    bool all_enabled() const { return enabled_ == 2; }

private:
    bool impersonating_ = false;
    int enabled_ = 0;
};

// The cause of a refused open, with what might have allowed it.
Error refused_open(DWORD code, const BackupPrivileges& privileges) {
    Error error = failed_call("CreateFileW", code);
    if (code == ERROR_ACCESS_DENIED && !privileges.all_enabled())
        return std::move(error).context("the backup and restore privileges are not held");
    return error;
}

// Opens the entry itself, never what a link points to.
unique_handle open_itself(const std::filesystem::path& path, DWORD access, DWORD share) {
    return adopt_file_handle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Whether the handle is a link, and whether it is a folder. A failure is an
// error, never "a folder".
Result<FILE_ATTRIBUTE_TAG_INFO> tag_of(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag))
        return fail(failed_call("GetFileInformationByHandleEx", GetLastError()));
    return tag;
}

Result<detail::EntryIdentity> identity_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info))
        return fail(failed_call("GetFileInformationByHandle", GetLastError()));
    return detail::EntryIdentity{info.dwVolumeSerialNumber, info.nFileIndexLow, info.nFileIndexHigh};
}

// Wine opens what a link points to even with FILE_FLAG_OPEN_REPARSE_POINT:
// the path then says "link" and the handle does not.
Result<> opened_itself(const std::filesystem::path& path, const FILE_ATTRIBUTE_TAG_INFO& tag) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return fail("the system opened what the link points to, not the link");
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

Result<std::optional<std::string>> security_problem_of(HANDLE handle) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD code = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &raw);
    if (code != ERROR_SUCCESS) return fail(failed_call("GetSecurityInfo", code));
    const unique_hlocal descriptor(raw);
    return detail::folder_security_problem_of(raw);
}

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

// True when the DACL read back is entry for entry the one asked for.
bool same_dacl(PACL read, PACL wanted) {
    if (read == nullptr || wanted == nullptr || read->AceCount != wanted->AceCount) return false;
    for (DWORD i = 0; i < wanted->AceCount; ++i) {
        void* a = nullptr;
        void* b = nullptr;
        if (!GetAce(read, i, &a) || !GetAce(wanted, i, &b)) return false;
        const auto* x = static_cast<const ACE_HEADER*>(a);
        const auto* y = static_cast<const ACE_HEADER*>(b);
        if (x->AceSize != y->AceSize || std::memcmp(a, b, x->AceSize) != 0) return false;
    }
    return true;
}

// Whether a folder created with the protected descriptor under `parent`
// reads back with it; empty when it cannot be told.
std::optional<bool> probe_permissions(const std::filesystem::path& parent) {
    // Two threads may probe at once (a start request while the service
    // checks its folder): each gets a name of its own.
    static std::atomic<unsigned> probes{0};
    const std::filesystem::path probe =
        parent / (L"Velmor.probe-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) +
                  L"-" + std::to_wstring(++probes));
    if (create_protected(probe) != ERROR_SUCCESS) return std::nullopt;
    std::optional<bool> kept;
    {
        const unique_handle folder = open_itself(probe, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE);
        PSECURITY_DESCRIPTOR raw = nullptr;
        if (folder && GetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      nullptr, nullptr, &raw) == ERROR_SUCCESS) {
            const unique_hlocal descriptor(raw);
            SECURITY_DESCRIPTOR_CONTROL control = 0;
            DWORD revision = 0;
            kept = GetSecurityDescriptorControl(raw, &control, &revision) && (control & SE_DACL_PROTECTED) != 0 &&
                   same_dacl(parts_of(raw).dacl, parts_of(detail::protected_folder_descriptor()).dacl) &&
                   !detail::folder_security_problem_of(raw);
        }
    }
    RemoveDirectoryW(probe.c_str());
    return kept;
}

// "\\?\C:\x" and "\\?\UNC\server\share" as GetFullPathNameW writes them.
std::wstring without_long_prefix(std::wstring path) {
    if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
    if (path.starts_with(L"\\\\?\\")) return path.substr(4);
    return path;
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
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PROTECTED_FOLDER_SDDL, SDDL_REVISION_1, &built,
                                                                  nullptr))
            built = nullptr;
        return built;
    }();
    return descriptor;
}

std::optional<std::string> folder_security_problem_of(PSECURITY_DESCRIPTOR descriptor) {
    if (descriptor == nullptr) return "no security descriptor";
    const Result<trust::Permissions> permissions = trust::permissions_of(descriptor);
    if (!permissions) return "its DACL cannot be read";
    return trust::who_may_change(trust::TrustRole::DataFolder, *permissions);
}

bool folder_security_is_safe(PSECURITY_DESCRIPTOR descriptor) { return !folder_security_problem_of(descriptor); }

Result<std::optional<Entry>> open_entry(const std::filesystem::path& path) {
    const BackupPrivileges privileges;
    // Shared for reading and writing, never for deletion: while this is
    // open, no one renames, deletes or replaces the entry.
    constexpr DWORD SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;
    auto opened = std::make_unique<OpenedEntry>();
    opened->handle = open_itself(path, READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE, SHARE);
    if (!opened->handle && GetLastError() == ERROR_ACCESS_DENIED) {
        // Reading attributes is granted through the parent's listing right.
        opened->handle = open_itself(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, SHARE);
        opened->security_unreadable = true;
    }
    if (!opened->handle) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return std::optional<Entry>();
        return fail(refused_open(code, privileges));
    }
    Result<FILE_ATTRIBUTE_TAG_INFO> tag = tag_of(opened->handle.get());
    if (!tag) return fail(std::move(tag.error()));
    if (Result<> itself = opened_itself(path, *tag); !itself) return fail(std::move(itself.error()));
    Result<EntryIdentity> identity = identity_of(opened->handle.get());
    if (!identity) return fail(std::move(identity.error()));
    Entry entry;
    entry.kind = (tag->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::Link
                 : (tag->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0  ? EntryKind::Folder
                                                                           : EntryKind::Other;
    entry.identity = *identity;
    opened->identity = *identity;
    entry.handle.reset(opened.release());
    return std::optional<Entry>(std::move(entry));
}

Result<std::optional<std::string>> entry_security_problem(const OpenedEntry& entry) {
    if (entry.security_unreadable) return std::optional<std::string>("its permissions shut the helper out");
    return security_problem_of(entry.handle.get());
}

Result<bool> entry_is_at(const OpenedEntry& entry, const std::filesystem::path& path) {
    std::wstring final_path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(entry.handle.get(), final_path.data(),
                                                  static_cast<DWORD>(final_path.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return fail(failed_call("GetFinalPathNameByHandleW", GetLastError()));
        if (n < final_path.size()) {
            final_path.resize(n);
            break;
        }
        final_path.resize(n);  // the size needed, terminator included
    }
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return fail(failed_call("GetFullPathNameW", GetLastError()));
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);
    }
    std::wstring a = without_long_prefix(std::move(final_path));
    std::wstring b = without_long_prefix(std::move(full));
    while (a.size() > 3 && (a.back() == L'\\' || a.back() == L'/')) a.pop_back();
    while (b.size() > 3 && (b.back() == L'\\' || b.back() == L'/')) b.pop_back();
    if (CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) !=
        CSTR_EQUAL)
        return false;
    // Wine gives the name the handle was opened with, even after a rename:
    // what the path names now must also be the same file.
    const unique_handle named =
        open_itself(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!named) return false;
    Result<EntryIdentity> identity = identity_of(named.get());
    if (!identity) return fail(std::move(identity.error()));
    return *identity == entry.identity;
}

Result<> rename_entry_aside(const std::filesystem::path& path, const EntryIdentity& identity,
                            const std::filesystem::path& aside) {
    const BackupPrivileges privileges;
    const unique_handle entry =
        open_itself(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!entry) return fail(refused_open(GetLastError(), privileges));
    Result<FILE_ATTRIBUTE_TAG_INFO> tag = tag_of(entry.get());
    if (!tag) return fail(std::move(tag.error()));
    if (Result<> itself = opened_itself(path, *tag); !itself) return fail(std::move(itself.error()));
    Result<EntryIdentity> now = identity_of(entry.get());
    if (!now) return fail(std::move(now.error()));
    if (!(*now == identity)) return fail("replaced while it was being checked");

    // The new name in full, in the same parent; never replacing what is there.
    const std::wstring& name = aside.native();
    const std::size_t bytes = name.size() * sizeof(wchar_t);
    std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + bytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(rename->FileName, name.data(), bytes);
    if (!SetFileInformationByHandle(entry.get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size())))
        return fail(failed_call("SetFileInformationByHandle", GetLastError()));
    return {};
}

Result<bool> create_protected_folder(const std::filesystem::path& folder) {
    const DWORD code = create_protected(folder);
    if (code == ERROR_SUCCESS) return true;
    if (code == ERROR_ALREADY_EXISTS) return false;
    return fail(failed_call("CreateDirectoryW", code));
}

bool folder_permissions_kept(const std::filesystem::path& parent) {
    // 0: not known yet, 1: kept, 2: not kept.
    static std::atomic<int> known{0};
    if (const int state = known.load(); state != 0) return state == 1;
    const std::optional<bool> kept = probe_permissions(parent);
    if (!kept) return true;  // asked again next time
    known.store(*kept ? 1 : 2);
    return *kept;
}

std::filesystem::path::string_type untrusted_suffix() {
    // A FILETIME, made to increase within the process.
    static std::atomic<std::uint64_t> last{0};
    FILETIME time{};
    GetSystemTimePreciseAsFileTime(&time);
    std::uint64_t now = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    std::uint64_t seen = last.load();
    do {
        if (now <= seen) now = seen + 1;
    } while (!last.compare_exchange_weak(seen, now));
    return L".untrusted-" + std::to_wstring(now);
}

Result<Comparison> compare_with(const std::filesystem::path& source, const std::filesystem::path& copy) {
    // Shared every way, so that a copy a running core holds loaded is read.
    constexpr DWORD SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const unique_handle theirs = adopt_file_handle(CreateFileW(
        copy.c_str(), GENERIC_READ, SHARE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr));
    if (!theirs) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Comparison::Missing;
        return fail(failed_call("CreateFileW", code));
    }
    Result<FILE_ATTRIBUTE_TAG_INFO> tag = tag_of(theirs.get());
    if (!tag) return fail(std::move(tag.error()));
    if ((tag->FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) return Comparison::Different;
    if (!opened_itself(copy, *tag)) return Comparison::Different;

    const unique_handle ours = adopt_file_handle(
        CreateFileW(source.c_str(), GENERIC_READ, SHARE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!ours) return fail(failed_call("CreateFileW", GetLastError()));
    LARGE_INTEGER a_size{};
    LARGE_INTEGER b_size{};
    if (!GetFileSizeEx(ours.get(), &a_size) || !GetFileSizeEx(theirs.get(), &b_size))
        return fail(failed_call("GetFileSizeEx", GetLastError()));
    if (a_size.QuadPart != b_size.QuadPart) return Comparison::Different;
    std::vector<char> a(65536);
    std::vector<char> b(65536);
    for (;;) {
        DWORD a_read = 0;
        DWORD b_read = 0;
        if (!ReadFile(ours.get(), a.data(), static_cast<DWORD>(a.size()), &a_read, nullptr) ||
            !ReadFile(theirs.get(), b.data(), static_cast<DWORD>(b.size()), &b_read, nullptr))
            return fail(failed_call("ReadFile", GetLastError()));
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

Result<> copy_file_over(const std::filesystem::path& source, const std::filesystem::path& destination) {
    std::int64_t copied = 0;
    if (!CopyFileExW(source.c_str(), destination.c_str(), count_copy_progress, &copied, nullptr, 0))
        return fail(os_error(GetLastError()));
    return {};
}

Result<> rename_replacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
    const DWORD code = GetLastError();
    // A read-only file refuses to be replaced; the attribute is no reason to
    // keep it.
    const DWORD attributes = GetFileAttributesW(to.c_str());
    if (code != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        !SetFileAttributesW(to.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)))
        return fail(os_error(code));
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
    return fail(os_error(GetLastError()));
}

void remove_file_quietly(const std::filesystem::path& path) { DeleteFileW(path.c_str()); }

std::filesystem::path::string_type temporary_copy_suffix() {
    return L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
}

}  // namespace detail
}  // namespace velmor
