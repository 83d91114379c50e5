#include "trust/account_win32.hpp"

#include <cstring>

#include "base/os_error.hpp"
// After <windows.h>:
#include <sddl.h>

namespace velmor::trust {

Result<UserSid> token_user(HANDLE token) {
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
        return fail(last_call_error("GetTokenInformation"));
    UserSid user;
    if (!CopySid(sizeof user.sid, user.sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid))
        return fail(last_call_error("CopySid"));
    return user;
}

Result<bool> token_enables(HANDLE token, WELL_KNOWN_SID_TYPE sid) {
    alignas(SID) BYTE wanted[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof wanted;
    if (!CreateWellKnownSid(sid, nullptr, wanted, &size)) return fail(last_call_error("CreateWellKnownSid"));
    BOOL member = FALSE;
    if (!CheckTokenMembership(token, wanted, &member)) return fail(last_call_error("CheckTokenMembership"));
    return member != FALSE;
}

std::optional<std::string> account_name(PSID sid) {
    wchar_t name[257], domain[257];
    DWORD name_size = 257, domain_size = 257;
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use))
        return domain_size == 0 ? narrow(name) : narrow(domain) + "\\" + narrow(name);
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return std::nullopt;
    const unique_hlocal owned(text);
    return narrow(text);
}

ProcessUser process_user() {
    ProcessUser user;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return user;
    const unique_handle owned(token);
    Result<UserSid> read = token_user(token);
    if (!read) return user;
    std::memcpy(user.sid, read->sid, sizeof user.sid);
    user.known = true;
    return user;
}

}  // namespace velmor::trust
