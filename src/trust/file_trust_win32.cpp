#include "trust/file_trust_win32.hpp"

#include <string>

#include "base/os_error.hpp"
// After <windows.h>:
#include <aclapi.h>
#include <sddl.h>

namespace velmor::trust {
namespace {

Error failed_call(const char* call, DWORD code) {
    return Error(std::string(call) + " failed: " + std::to_string(code), os_error(code));
}

// SYSTEM, the Administrators, TrustedInstaller (which owns the system's own
// folders) and the process's own user.
bool is_trusted(PSID sid, const ProcessUser& user) {
    if (!IsValidSid(sid)) return false;
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
    if (user.known && EqualSid(sid, const_cast<BYTE*>(user.sid))) return true;
    PSID installer = nullptr;
    if (!ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer))
        return false;
    const unique_hlocal owned(installer);
    return EqualSid(sid, installer) != FALSE;
}

Account account_of(PSID sid, const ProcessUser& user) {
    return Account{account_name(sid).value_or("an unknown account"), is_trusted(sid, user),
                   IsValidSid(sid) && IsWellKnownSid(sid, WinCreatorOwnerSid)};
}

}  // namespace

Result<Permissions> permissions_of(PSECURITY_DESCRIPTOR descriptor) {
    Permissions permissions;
    if (descriptor == nullptr) return permissions;
    const ProcessUser user = process_user();
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr)
        permissions.owner = account_of(owner, user);
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return permissions;  // no DACL: everyone
    std::vector<AccessEntry> entries;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return fail(failed_call("GetAce", GetLastError()).context("its DACL cannot be read"));
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        switch (header->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: break;  // same layout up to the SID
            case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
                entries.push_back(AccessEntry{Account{"someone"}, 0, false, true});
                continue;
            default: continue;  // deny, audit, label
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        entries.push_back(AccessEntry{account_of(&allowed->SidStart, user), allowed->Mask,
                                      (header->AceFlags & INHERIT_ONLY_ACE) != 0, false});
    }
    permissions.dacl = std::move(entries);
    return permissions;
}

Result<std::optional<EntryFacts>> read_entry(const std::filesystem::path& path) {
    // The entry itself, never what a link points to; shared every way, so
    // that a library a running core holds loaded is read too.
    const unique_handle entry = adopt_file_handle(CreateFileW(
        path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!entry) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return std::optional<EntryFacts>();
        return fail(failed_call("CreateFileW", code));
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &tag, sizeof tag))
        return fail(failed_call("GetFileInformationByHandleEx", GetLastError()));
    // Wine opens what a link points to even with FILE_FLAG_OPEN_REPARSE_POINT:
    // the path then says "link" and the handle does not.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const bool link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                      (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
    EntryFacts facts;
    facts.kind = link                                                    ? EntryKind::Link
                 : (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder
                 : (tag.FileAttributes & FILE_ATTRIBUTE_DEVICE) != 0    ? EntryKind::Other
                                                                         : EntryKind::File;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD read = GetSecurityInfo(entry.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &raw);
    if (read != ERROR_SUCCESS) return fail(failed_call("GetSecurityInfo", read));
    const unique_hlocal descriptor(raw);
    Result<Permissions> permissions = permissions_of(raw);
    if (!permissions) return fail(std::move(permissions.error()));
    facts.permissions = std::move(*permissions);
    return std::optional<EntryFacts>(std::move(facts));
}

}  // namespace velmor::trust
