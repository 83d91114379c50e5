#include "trust/entry_win32.hpp"

#include <atomic>
#include <string>

#include "base/file_ops_win32.hpp"
#include "base/os_error.hpp"
#include "trust/file_trust_win32.hpp"
// After <windows.h>:
#include <aclapi.h>

namespace velmor::trust {

namespace {

// For this thread only (on a copy of the process token), enables the backup
// and restore privileges, so that an entry whose DACL shuts out SYSTEM and
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
    Error error = call_error("CreateFileW", code);
    if (code == ERROR_ACCESS_DENIED && !privileges.all_enabled())
        return std::move(error).context("the backup and restore privileges are not held");
    return error;
}

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the entry itself, never what a link points to.
unique_handle open_itself(const std::filesystem::path& path, DWORD access, DWORD share) {
    return adopt_file_handle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool is_missing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Whether the handle is a link, and whether it is a folder. A failure is an
// error, never "a folder".
Result<FILE_ATTRIBUTE_TAG_INFO> tag_of(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag))
        return fail(last_call_error("GetFileInformationByHandleEx"));
    return tag;
}

EntryKind kind_of(const FILE_ATTRIBUTE_TAG_INFO& tag) {
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::Link;
    if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::Folder;
    if ((tag.FileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::Other;
    return EntryKind::File;
}

// Wine opens what a link points to even with FILE_FLAG_OPEN_REPARSE_POINT:
// the path then says "link" and the handle does not.
bool link_followed(const std::filesystem::path& path, const FILE_ATTRIBUTE_TAG_INFO& tag) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

Result<> opened_itself(const std::filesystem::path& path, const FILE_ATTRIBUTE_TAG_INFO& tag) {
    if (link_followed(path, tag)) return fail("the system opened what the link points to, not the link");
    return {};
}

Result<EntryIdentity> identity_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return fail(last_call_error("GetFileInformationByHandle"));
    return EntryIdentity{info.dwVolumeSerialNumber, info.nFileIndexLow, info.nFileIndexHigh};
}

Result<Permissions> permissions_through(HANDLE handle) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD read = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &raw);
    if (read != ERROR_SUCCESS) return fail(call_error("GetSecurityInfo", read));
    const unique_hlocal descriptor(raw);
    return permissions_of(raw);
}

// "\\?\C:\x" and "\\?\UNC\server\share" as GetFullPathNameW writes them.
std::wstring without_long_prefix(std::wstring path) {
    if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
    if (path.starts_with(L"\\\\?\\")) return path.substr(4);
    return path;
}

// A path the system writes into a buffer, grown until it fits.
template <class Call>
Result<std::wstring> grown_path(const char* call, Call&& write) {
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = write(text.data(), static_cast<DWORD>(text.size()));
        if (n == 0) return fail(last_call_error(call));
        if (n < text.size()) {
            text.resize(n);
            return text;
        }
        text.resize(n);  // the size needed, terminator included
    }
}

}  // namespace

Result<EntryFacts> facts_of(HANDLE handle, bool with_permissions) {
    Result<FILE_ATTRIBUTE_TAG_INFO> tag = tag_of(handle);
    if (!tag) return fail(std::move(tag.error()));
    EntryFacts facts{kind_of(*tag), std::nullopt};
    if (!with_permissions) return facts;
    Result<Permissions> permissions = permissions_through(handle);
    if (!permissions) return fail(std::move(permissions.error()));
    facts.permissions = std::move(*permissions);
    return facts;
}

Result<std::optional<Entry>> open_entry(const std::filesystem::path& path) {
    const BackupPrivileges privileges;
    // Shared for reading and writing, never for deletion: while this is
    // open, no one renames, deletes or replaces the entry.
    constexpr DWORD SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;
    Entry entry;
    unique_handle handle = open_itself(path, READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE, SHARE);
    if (!handle && GetLastError() == ERROR_ACCESS_DENIED) {
        // Reading attributes is granted through the parent's listing right.
        handle = open_itself(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, SHARE);
        entry.opened.security_unreadable = true;
    }
    if (!handle) {
        const DWORD code = GetLastError();
        if (is_missing(code)) return std::optional<Entry>();
        return fail(refused_open(code, privileges));
    }
    entry.opened.handle = native_handle_of(handle.release());
    const HANDLE opened = handle_of(entry.opened.handle);
    Result<FILE_ATTRIBUTE_TAG_INFO> tag = tag_of(opened);
    if (!tag) return fail(std::move(tag.error()));
    if (Result<> itself = opened_itself(path, *tag); !itself) return fail(std::move(itself.error()));
    Result<EntryIdentity> identity = identity_of(opened);
    if (!identity) return fail(std::move(identity.error()));
    entry.kind = kind_of(*tag);
    entry.opened.identity = *identity;
    return std::optional<Entry>(std::move(entry));
}

Result<Permissions> entry_permissions(const OpenedEntry& entry) {
    if (entry.security_unreadable) return Permissions{std::nullopt, std::nullopt, true};
    return permissions_through(handle_of(entry.handle));
}

Result<bool> entry_is_at(const OpenedEntry& entry, const std::filesystem::path& path) {
    Result<std::wstring> final_path = grown_path("GetFinalPathNameByHandleW", [&](wchar_t* buffer, DWORD size) {
        return GetFinalPathNameByHandleW(handle_of(entry.handle), buffer, size,
                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
    if (!final_path) return fail(std::move(final_path.error()));
    Result<std::wstring> full = grown_path("GetFullPathNameW", [&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
    if (!full) return fail(std::move(full.error()));
    std::wstring a = without_long_prefix(std::move(*final_path));
    std::wstring b = without_long_prefix(std::move(*full));
    while (a.size() > 3 && (a.back() == L'\\' || a.back() == L'/')) a.pop_back();
    while (b.size() > 3 && (b.back() == L'\\' || b.back() == L'/')) b.pop_back();
    if (CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) !=
        CSTR_EQUAL)
        return false;
    // Wine gives the name the handle was opened with, even after a rename:
    // what the path names now must also be the same file.
    const unique_handle named = open_itself(path, FILE_READ_ATTRIBUTES, SHARE_ALL);
    if (!named) return false;
    Result<EntryIdentity> identity = identity_of(named.get());
    if (!identity) return fail(std::move(identity.error()));
    return *identity == entry.identity;
}

Result<unique_handle> open_entry_checked(const std::filesystem::path& path, DWORD access,
                                         const EntryIdentity& identity) {
    unique_handle entry;
    {
        const BackupPrivileges privileges;
        entry = open_itself(path, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, SHARE_ALL);
        if (!entry) return fail(refused_open(GetLastError(), privileges));
    }
    Result<FILE_ATTRIBUTE_TAG_INFO> tag = tag_of(entry.get());
    if (!tag) return fail(std::move(tag.error()));
    if (Result<> itself = opened_itself(path, *tag); !itself) return fail(std::move(itself.error()));
    Result<EntryIdentity> now = identity_of(entry.get());
    if (!now) return fail(std::move(now.error()));
    if (!(*now == identity)) return fail("replaced while it was being checked");
    return entry;
}

Result<> rename_entry_aside(const std::filesystem::path& path, const EntryIdentity& identity,
                            const std::filesystem::path& aside) {
    Result<unique_handle> opened = open_entry_checked(path, DELETE, identity);
    if (!opened) return fail(std::move(opened.error()));
    const unique_handle entry = std::move(*opened);

    // The new name in full, in the same parent; never replacing what is there.
    return file_ops::rename_open_file(entry.get(), aside, file_ops::Rename::KeepExisting);
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

Result<std::optional<EntryFacts>> read_entry(const std::filesystem::path& path) {
    const unique_handle entry = open_itself(path, READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE, SHARE_ALL);
    if (!entry) {
        const DWORD code = GetLastError();
        if (is_missing(code)) return std::optional<EntryFacts>();
        return fail(call_error("CreateFileW", code));
    }
    Result<EntryFacts> facts = facts_of(entry.get(), true);
    if (!facts) return fail(std::move(facts.error()));
    Result<FILE_ATTRIBUTE_TAG_INFO> tag = tag_of(entry.get());
    if (tag && link_followed(path, *tag)) facts->kind = EntryKind::Link;
    return std::optional<EntryFacts>(std::move(*facts));
}

bool keeps_no_permissions_anywhere() {
    // Wine answers FILE_PERSISTENT_ACLS for every volume, yet keeps no owner
    // or DACL set on a file and shows one made from the Unix mode instead:
    // there nothing is kept, whatever the flag says. Its ntdll alone exports
    // wine_get_version; Windows' never does, so this cannot turn the checks
    // off on Windows.
    static const bool wine = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

bool permissions_kept(const OpenedEntry& entry) {
    if (keeps_no_permissions_anywhere()) return false;
    DWORD flags = 0;
    if (!GetVolumeInformationByHandleW(handle_of(entry.handle), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        return true;
    return (flags & FILE_PERSISTENT_ACLS) != 0;
}

}  // namespace velmor::trust
