// The Windows reader: descriptors of our own making, as the system's own
// folders and an installer's files carry them, judged by role; and each
// verdict of "safe" checked against AccessCheck for a standard user's token
// of our own making, which must then be refused every right the role
// forbids. Wine keeps no descriptor on files, so none is read from disk.

#include <gtest/gtest.h>

#include "base/win.hpp"
#include "support/access_check_win32.hpp"
#include "support/folder_links_win32.hpp"
#include "trust/file_trust_win32.hpp"
#include "unit/core/core_test_support.hpp"
// After <windows.h>:
#include <sddl.h>

namespace velmor::trust {
namespace {

// The rights each role keeps from everyone else, one at a time.
std::vector<DWORD> forbidden(TrustRole role) {
    if (role == TrustRole::Ancestor) return {DELETE, FILE_DELETE_CHILD, WRITE_DAC, WRITE_OWNER};
    return {FILE_WRITE_DATA, FILE_APPEND_DATA, FILE_WRITE_EA,  FILE_DELETE_CHILD,
            FILE_WRITE_ATTRIBUTES, DELETE, WRITE_DAC, WRITE_OWNER};
}

Result<bool> standard_user_granted(HANDLE token, PSECURITY_DESCRIPTOR descriptor, DWORD right) {
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges{};
    DWORD privileges_size = sizeof privileges;
    DWORD granted = 0;
    BOOL status = FALSE;
    if (!AccessCheck(descriptor, token, right, &mapping, &privileges, &privileges_size, &granted, &status))
        return fail("AccessCheck failed: " + std::to_string(GetLastError()));
    return status != FALSE;
}

constexpr const wchar_t* INSTALLER = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

TEST(FileTrustWin32, DescriptorsByRole) {
    const unique_handle standard = access::identification_token(true);
    ASSERT_TRUE(standard) << GetLastError();
    using enum TrustRole;
    struct Case {
        const char* label;
        std::wstring sddl;  // owner and group always, for AccessCheck
        TrustRole role;
        bool safe;
    };
    const std::wstring ti = INSTALLER;
    const Case cases[] = {
        {"a system volume's root, as an ancestor",
         L"O:SYG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;CI;0x4;;;AU)(A;OICIIO;SDGXGWGR;;;AU)",
         Ancestor, true},
        {"a system volume's root as the program folder: others may add folders",
         L"O:SYG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;CI;0x4;;;AU)", ProgramFolder, false},
        {"Program Files, as an ancestor",
         L"O:" + ti + L"G:SYD:P(A;CIIO;GA;;;CO)(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
                      L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICI;FA;;;" + ti + L")(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)",
         Ancestor, true},
        {"a folder an installer made under Program Files",
         L"O:SYG:SYD:AI(A;ID;FA;;;" + ti + L")(A;CIIOID;GA;;;CO)(A;ID;0x1301bf;;;SY)(A;OICIIOID;GA;;;SY)"
                      L"(A;ID;0x1301bf;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)"
                      L"(A;ID;0x1200a9;;;AC)(A;OICIIOID;GXGR;;;AC)",
         ProgramFolder, true},
        {"a library it holds", L"O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;AC)", File,
         true},
        {"a library Users may modify", L"O:BAG:SYD:AI(A;;0x1301bf;;;BU)(A;ID;FA;;;SY)", File, false},
        {"a library Users may append to", L"O:BAG:SYD:(A;;0x4;;;BU)", File, false},
        {"a library Users own", L"O:BUG:SYD:(A;;FA;;;SY)", File, false},
        {"an ancestor Users own", L"O:BUG:SYD:(A;;FA;;;SY)", Ancestor, false},
        {"an ancestor where Authenticated Users may delete what is inside", L"O:SYG:SYD:(A;;0x40;;;AU)", Ancestor, false},
        {"an ancestor Users may re-permission", L"O:SYG:SYD:(A;;WD;;;BU)", Ancestor, false},
        {"an ancestor Users may rename", L"O:SYG:SYD:(A;;SD;;;BU)", Ancestor, false},
        {"the program folder, Users may add files through an inherited entry", L"O:SYG:SYD:AI(A;ID;0x2;;;BU)",
         ProgramFolder, false},
        {"the program folder, Everyone generic write inherit-only", L"O:SYG:SYD:(A;OICIIO;GW;;;WD)", ProgramFolder, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1, &raw, nullptr))
            << GetLastError();
        const unique_hlocal descriptor(raw);
        const Result<Permissions> permissions = permissions_of(raw);
        ASSERT_TRUE(permissions) << permissions.error().full_description();
        const std::optional<std::string> who = who_may_change(c.role, *permissions);
        EXPECT_EQ(!who, c.safe) << who.value_or("");
        if (who) EXPECT_TRUE(who->ends_with(" may change it")) << *who;
        if (!c.safe) continue;
        // Never more lenient than the system's own evaluation.
        for (const DWORD right : forbidden(c.role)) {
            SCOPED_TRACE("right " + std::to_string(right));
            const Result<bool> granted = standard_user_granted(standard.get(), raw, right);
            ASSERT_TRUE(granted) << granted.error().full_description();
            EXPECT_FALSE(*granted);
        }
    }
    {
        SCOPED_TRACE("the account named");
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BUD:", SDDL_REVISION_1, &raw, nullptr));
        const unique_hlocal descriptor(raw);
        EXPECT_EQ(who_may_change(File, *permissions_of(raw)), "BUILTIN\\Users, its owner, may change it");
    }
}

TEST(FileTrustWin32, EntriesAreReadAsThemselves) {
    testing::TempDir dir;
    const std::filesystem::path real = dir.path() / "real";
    std::filesystem::create_directories(real);
    { std::ofstream(real / "core.dll") << "core"; }
    const auto kind_of = [](const std::filesystem::path& path) -> std::optional<EntryKind> {
        Result<std::optional<EntryFacts>> read = read_entry(path);
        if (!read || !*read) return std::nullopt;
        return (*read)->kind;
    };
    EXPECT_EQ(kind_of(real), EntryKind::Folder);
    EXPECT_EQ(kind_of(real / "core.dll"), EntryKind::File);
    EXPECT_EQ(kind_of(dir.path().root_path()), EntryKind::Folder) << "the volume's root";
    const Result<std::optional<EntryFacts>> missing = read_entry(real / "absent.dll");
    ASSERT_TRUE(missing);
    EXPECT_FALSE(*missing);

    const std::filesystem::path link = dir.path() / "link";
    if (const std::optional<std::string> why_not = links::make_folder_link(link, real)) GTEST_SKIP() << *why_not;
    EXPECT_EQ(kind_of(link), EntryKind::Link);
    // Kinds only: Wine makes descriptors up for the folders above.
    const std::optional<Unsafe> unsafe = find_unsafe(link, {link / "core.dll"}, read_entry, false);
    links::remove_folder_link(link);
    ASSERT_TRUE(unsafe);
    EXPECT_EQ(unsafe->path, link);
    EXPECT_EQ(unsafe->reason, "it is a link or junction");
}

}  // namespace
}  // namespace velmor::trust
