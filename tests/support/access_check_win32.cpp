#include "support/access_check_win32.hpp"

#include <aclapi.h>

#include "base/os_error.hpp"

namespace velmor::access {

unique_handle identification_token(bool as_standard_user) {
    HANDLE process_token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process_token)) return {};
    unique_handle primary(process_token);
    if (as_standard_user) {
        BYTE admins[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(admins);
        if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size)) return {};
        SID_AND_ATTRIBUTES disabled{admins, 0};
        HANDLE restricted = nullptr;
        if (!CreateRestrictedToken(primary.get(), 0, 1, &disabled, 0, nullptr, 0, nullptr, &restricted)) return {};
        primary.reset(restricted);
    }
    HANDLE duplicate = nullptr;
    if (!DuplicateTokenEx(primary.get(), TOKEN_QUERY, nullptr, SecurityIdentification, TokenImpersonation,
                          &duplicate))
        return {};
    return unique_handle(duplicate);
}

Result<bool> granted(HANDLE token, HANDLE object, ACCESS_MASK desired) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = GetSecurityInfo(object, SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (read != ERROR_SUCCESS) return fail(call_error("GetSecurityInfo", read));
    const unique_hlocal owner(descriptor);
    return descriptor_grants(descriptor, token, desired);
}

Result<bool> descriptor_grants(PSECURITY_DESCRIPTOR descriptor, HANDLE token, ACCESS_MASK desired) {
    alignas(SID) BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size)) return fail(last_call_error("CreateWellKnownSid"));
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorGroup(descriptor, &group, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return fail(last_call_error("GetSecurityDescriptorDacl"));
    SECURITY_DESCRIPTOR checked{};
    if (!InitializeSecurityDescriptor(&checked, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&checked, owner != nullptr ? owner : system, FALSE) ||
        !SetSecurityDescriptorGroup(&checked, group != nullptr ? group : system, FALSE) ||
        !SetSecurityDescriptorDacl(&checked, present, dacl, FALSE))
        return fail(last_call_error("SetSecurityDescriptorDacl"));

    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    MapGenericMask(&desired, &mapping);
    PRIVILEGE_SET privileges{};
    DWORD privileges_size = sizeof(privileges);
    DWORD granted_access = 0;
    BOOL status = FALSE;
    if (!AccessCheck(&checked, token, desired, &mapping, &privileges, &privileges_size, &granted_access, &status))
        return fail(last_call_error("AccessCheck"));
    return status != FALSE;
}

bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace velmor::access
