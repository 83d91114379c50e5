#include "control/control_access_win32.hpp"

// After <windows.h>:
#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "base/os_error.hpp"
#include "base/text.hpp"
#include "control/actions.hpp"
#include "control/control_access.hpp"
#include "env/log.hpp"
#include "env/settings.hpp"
#include "trust/account_win32.hpp"

namespace velmor {
namespace {

// The portable names are Windows' own.
static_assert(ace_type::ALLOWED == ACCESS_ALLOWED_ACE_TYPE);
static_assert(ace_type::DENIED == ACCESS_DENIED_ACE_TYPE);
static_assert(ace_type::ALLOWED_OBJECT == ACCESS_ALLOWED_OBJECT_ACE_TYPE);
static_assert(ace_type::DENIED_OBJECT == ACCESS_DENIED_OBJECT_ACE_TYPE);
static_assert(ace_type::ALLOWED_CALLBACK == ACCESS_ALLOWED_CALLBACK_ACE_TYPE);
static_assert(ace_type::DENIED_CALLBACK == ACCESS_DENIED_CALLBACK_ACE_TYPE);
static_assert(ace_type::ALLOWED_CALLBACK_OBJECT == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE);
static_assert(ace_type::DENIED_CALLBACK_OBJECT == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE);
static_assert(sizeof(ACCESS_MASK) == sizeof(PolicyDescriptor::Entry::mask));

// What check_policy_shape weighs of `descriptor`, whose DACL is `dacl`
// (nullptr when it has none or a NULL one), read in the order it decides.
Result<PolicyDescriptor> read_policy_descriptor(PSECURITY_DESCRIPTOR descriptor, PACL dacl) {
    PolicyDescriptor read;
    read.dacl = dacl != nullptr;
    if (!read.dacl) return read;
    BOOL present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    if (!GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted))
        return fail(last_call_error("GetSecurityDescriptorSacl"));
    read.sacl = present != FALSE;
    if (read.sacl) return read;
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
        return fail(last_call_error("GetAclInformation"));
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return fail(last_call_error("GetAce"));
        PolicyDescriptor::Entry entry{static_cast<const ACE_HEADER*>(ace)->AceType, 0};
        std::memcpy(&entry.mask, static_cast<const BYTE*>(ace) + sizeof(ACE_HEADER), sizeof entry.mask);
        read.entries.push_back(entry);
    }
    return read;
}

}  // namespace

Result<std::optional<std::string>> read_control_access() { return settings::read_text(settings::CONTROL_ACCESS); }

Result<bool> token_may_control(HANDLE token, const std::string& sddl) {
    PSECURITY_DESCRIPTOR parsed = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(widen(sddl).c_str(), SDDL_REVISION_1, &parsed,
                                                              nullptr) ||
        parsed == nullptr)
        return fail(not_a_policy_descriptor(last_call_error("ConvertStringSecurityDescriptorToSecurityDescriptorW")));
    const unique_hlocal parsed_owner(parsed);

    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(parsed, &present, &dacl, &defaulted) || !present) dacl = nullptr;
    if (Result<> shaped = check_policy_shape(read_policy_descriptor(parsed, dacl)); !shaped)
        return fail(std::move(shaped.error()));

    // AccessCheck wants an owner and a group (1338 without them); the policy
    // need not name them, and neither decides this right.
    BYTE system_sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof(system_sid);
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &sid_size))
        return fail(last_call_error("CreateWellKnownSid"));
    PSID owner = nullptr, group = nullptr;
    GetSecurityDescriptorOwner(parsed, &owner, &defaulted);
    GetSecurityDescriptorGroup(parsed, &group, &defaulted);
    SECURITY_DESCRIPTOR checked{};
    const std::string_view built = "cannot build the descriptor to check";
    if (!InitializeSecurityDescriptor(&checked, SECURITY_DESCRIPTOR_REVISION))
        return fail(last_call_error("InitializeSecurityDescriptor").context(std::string(built)));
    if (!SetSecurityDescriptorDacl(&checked, TRUE, dacl, FALSE))
        return fail(last_call_error("SetSecurityDescriptorDacl").context(std::string(built)));
    if (!SetSecurityDescriptorOwner(&checked, owner != nullptr ? owner : system_sid, FALSE))
        return fail(last_call_error("SetSecurityDescriptorOwner").context(std::string(built)));
    if (!SetSecurityDescriptorGroup(&checked, group != nullptr ? group : system_sid, FALSE))
        return fail(last_call_error("SetSecurityDescriptorGroup").context(std::string(built)));

    GENERIC_MAPPING mapping{0, CONTROL_ACCESS_RIGHT, CONTROL_ACCESS_RIGHT, CONTROL_ACCESS_RIGHT};
    PRIVILEGE_SET privileges{};
    DWORD privileges_size = sizeof(privileges);
    DWORD granted = 0;
    BOOL allowed = FALSE;
    if (!AccessCheck(&checked, token, CONTROL_ACCESS_RIGHT, &mapping, &privileges, &privileges_size, &granted,
                     &allowed))
        return fail(last_call_error("AccessCheck"));
    return allowed && (granted & CONTROL_ACCESS_RIGHT) != 0;
}

Result<unique_handle> pipe_client_token(HANDLE pipe) {
    if (!ImpersonateNamedPipeClient(pipe)) return fail(last_call_error("ImpersonateNamedPipeClient"));
    // Nothing but opening the token happens as the client: no file, no
    // library, no log line. The token is opened as the service itself.
    HANDLE token = nullptr;
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    const DWORD code = opened ? ERROR_SUCCESS : GetLastError();
    // A thread that cannot stop acting as the client must not run on.
    if (!RevertToSelf()) std::abort();
    if (!opened) return fail(call_error("OpenThreadToken", code));
    return unique_handle(token);
}

const Result<unique_handle>& PipeClient::token() {
    if (!token_) token_.emplace(pipe_client_token(pipe_));
    return *token_;
}

ClientIdentity PipeClient::identity() {
    ClientIdentity who{"an unknown user", {}};
    if (const Result<unique_handle>& token = this->token(); !token) {
        who.unreadable = token.error();
    } else if (Result<trust::UserSid> user = trust::token_user(token->get()); !user) {
        who.unreadable = std::move(user.error());
    } else {
        who.name = trust::account_name(user->get()).value_or(who.name);
    }
    ULONG process = 0;
    if (GetNamedPipeClientProcessId(pipe_, &process)) who.name += " (process " + std::to_string(process) + ")";
    who.name = escape_for_log(who.name);
    return who;
}

Result<ClientCheck> PipeClient::check(const std::string& sddl) {
    const Result<unique_handle>& token = this->token();
    if (!token) return fail(token.error().context("cannot identify the client"));
    Result<bool> granted = token_may_control(token->get(), sddl);
    if (!granted) return fail(std::move(granted.error()));
    if (*granted) return ClientCheck{true, {}};
    return ClientCheck{false, identity().name};
}

ControlClient PipeClient::control_client(ActionContext& actions) {
    ControlClient client;
    client.gate = [this, &actions](Action action) -> Result<> {
        const AccessDecision decision = decide_control_access(
            action, read_control_access(), [this](const std::string& sddl) { return check(sddl); });
        if (!decision.log_line.empty()) {
            log_denial_message(decision.log_line);
            if (action == Action::start) actions.report_start_refused(decision.log_line);
        }
        if (!decision.allowed) return fail(std::string(CONTROL_ACCESS_DENIED));
        return {};
    };
    client.may_see_error = [this] {
        return decide_control_access(Action::status, read_control_access(),
                                     [this](const std::string& sddl) { return check(sddl); })
            .allowed;
    };
    client.identity = [this] { return identity(); };
    return client;
}

}  // namespace velmor
