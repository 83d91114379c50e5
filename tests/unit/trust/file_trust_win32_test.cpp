// The Windows reader on descriptors of our own making, as the system's own
// folders and an installer's files carry them; every "safe" is checked
// against AccessCheck for a standard user's token of our own making, which
// must then be refused each right the role keeps from others. (Wine keeps no
// descriptor on files, so none is read from disk.)

#include <gtest/gtest.h>

#include "base/win.hpp"
#include "support/access_check_win32.hpp"
#include "trust/file_trust_win32.hpp"
// After <windows.h>:
#include <sddl.h>

namespace velmor::trust {
namespace {

TEST(FileTrustWin32, DescriptorsByRoleNeverMoreLenientThanAccessCheck) {
    const unique_handle standard = access::identification_token(true);
    ASSERT_TRUE(standard) << GetLastError();
    using enum TrustRole;
    const std::wstring ti = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const struct {
        const char* label;
        std::wstring sddl;  // with an owner and a group, as AccessCheck wants
        TrustRole role;
        std::string verdict;
    } cases[] = {
        {"a volume's root", L"O:SYG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;CI;0x4;;;BU)(A;OICIIO;SDGXGWGR;;;BU)", Ancestor, ""},
        {"a volume's root as the program folder", L"O:SYG:SYD:(A;OICI;FA;;;SY)(A;CI;0x4;;;BU)", ProgramFolder,
         "BUILTIN\\Users may change it"},
        {"Program Files", L"O:" + ti + L"G:SYD:P(A;CIIO;GA;;;CO)(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
                          L"(A;OICIIO;GXGR;;;BU)(A;OICI;FA;;;" + ti + L")",
         Ancestor, ""},
        {"a folder an installer made there", L"O:SYG:SYD:AI(A;ID;FA;;;" + ti + L")(A;CIIOID;GA;;;CO)(A;ID;0x1301bf;;;BA)"
                                             L"(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)",
         ProgramFolder, ""},
        {"a library Users may modify", L"O:BAG:SYD:AI(A;;0x1301bf;;;BU)(A;ID;FA;;;SY)", File, "BUILTIN\\Users may change it"},
        {"an ancestor Users own", L"O:BUG:SYD:(A;;FA;;;SY)", Ancestor, "BUILTIN\\Users, its owner, may change it"},
        {"an ancestor Users may rename", L"O:SYG:SYD:(A;;SD;;;BU)", Ancestor, "BUILTIN\\Users may change it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1, &raw, nullptr));
        const unique_hlocal descriptor(raw);
        const Result<Permissions> permissions = permissions_of(raw);
        ASSERT_TRUE(permissions) << permissions.error().full_description();
        EXPECT_EQ(who_may_change(c.role, *permissions).value_or(""), c.verdict);
        if (!c.verdict.empty()) continue;
        GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
        for (const DWORD right : {DWORD{DELETE}, DWORD{FILE_DELETE_CHILD}, DWORD{WRITE_DAC}, DWORD{WRITE_OWNER},
                                  DWORD{FILE_WRITE_DATA}, DWORD{FILE_APPEND_DATA}}) {
            if (c.role == Ancestor && (right == FILE_WRITE_DATA || right == FILE_APPEND_DATA)) continue;
            PRIVILEGE_SET privileges{};
            DWORD size = sizeof privileges, granted = 0;
            BOOL status = FALSE;
            ASSERT_TRUE(AccessCheck(raw, standard.get(), right, &mapping, &privileges, &size, &granted, &status))
                << GetLastError();
            EXPECT_FALSE(status) << "right " << right;
        }
    }
}

}  // namespace
}  // namespace velmor::trust
