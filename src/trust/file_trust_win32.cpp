#include "trust/file_trust_win32.hpp"

#include <string>

#include "base/os_error.hpp"
// After <windows.h>:
#include <aclapi.h>
#include <sddl.h>

// The portable copies of the file rights (file_trust.hpp) are Windows' own.
namespace portable_rights = velmor::trust::rights;
static_assert(portable_rights::READ_DATA == FILE_READ_DATA && portable_rights::READ_DATA == FILE_LIST_DIRECTORY);
static_assert(portable_rights::WRITE_DATA == FILE_WRITE_DATA && portable_rights::WRITE_DATA == FILE_ADD_FILE);
static_assert(portable_rights::APPEND_DATA == FILE_APPEND_DATA && portable_rights::APPEND_DATA == FILE_ADD_SUBDIRECTORY);
static_assert(portable_rights::READ_EA == FILE_READ_EA);
static_assert(portable_rights::WRITE_EA == FILE_WRITE_EA);
static_assert(portable_rights::EXECUTE == FILE_EXECUTE && portable_rights::EXECUTE == FILE_TRAVERSE);
static_assert(portable_rights::DELETE_CHILD == FILE_DELETE_CHILD);
static_assert(portable_rights::READ_ATTRIBUTES == FILE_READ_ATTRIBUTES);
static_assert(portable_rights::WRITE_ATTRIBUTES == FILE_WRITE_ATTRIBUTES);
static_assert(portable_rights::DELETE_ENTRY == DELETE);
static_assert(portable_rights::READ_SECURITY == READ_CONTROL);
static_assert(portable_rights::CHANGE_DACL == WRITE_DAC);
static_assert(portable_rights::CHANGE_OWNER == WRITE_OWNER);
static_assert(portable_rights::WAIT_ON == SYNCHRONIZE);
static_assert(portable_rights::ALL_GENERIC == GENERIC_ALL);
static_assert(portable_rights::EXECUTE_GENERIC == GENERIC_EXECUTE);
static_assert(portable_rights::WRITE_GENERIC == GENERIC_WRITE);
static_assert(portable_rights::READ_GENERIC == GENERIC_READ);
static_assert(portable_rights::READ_AND_EXECUTE == (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE));
static_assert(portable_rights::MAPPED_READ == FILE_GENERIC_READ);
static_assert(portable_rights::MAPPED_WRITE == FILE_GENERIC_WRITE);
static_assert(portable_rights::MAPPED_EXECUTE == FILE_GENERIC_EXECUTE);
static_assert(portable_rights::MAPPED_ALL == FILE_ALL_ACCESS);

namespace velmor::trust {
namespace {

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
        if (!GetAce(dacl, i, &ace)) return fail(last_call_error("GetAce").context("its DACL cannot be read"));
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

}  // namespace velmor::trust
