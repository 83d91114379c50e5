#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "base/os_error.hpp"
#include "base/win.hpp"
#include "env/data_folder.hpp"
#include "env/data_folder_win32.hpp"
#include "support/access_check_win32.hpp"
#include "support/folder_links_win32.hpp"
#include "unit/core/core_test_support.hpp"
// After <windows.h>:
#include <sddl.h>

namespace velmor {
namespace {

TEST(DataFolderWin32, ACopyThatCannotBeReadOrReplacedRefusesTheStart) {
    testing::TempDir dir;
    const std::filesystem::path source = dir.path() / "exe";
    const std::filesystem::path data = dir.path() / "data";
    std::filesystem::create_directories(source);
    std::filesystem::create_directories(data);
    std::ofstream(source / "wintun.dll", std::ios::binary) << "new";
    std::ofstream(data / "wintun.dll", std::ios::binary) << "new";

    // Opened without any sharing: its bytes cannot be compared, so it is not
    // known to be ours; it is reported as held, with the holder's refusal,
    // never as a copy that differs, and no replacement is tried.
    const unique_handle held = adopt_file_handle(CreateFileW((data / "wintun.dll").c_str(), GENERIC_READ, 0, nullptr,
                                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    EXPECT_TRUE(detail::path_metadata_readable(data / "wintun.dll"));
    testing::LogCapture log;
    const Result<> placed = detail::place_wintun(source, data);
    ASSERT_FALSE(placed);
    EXPECT_EQ(placed.error().one_line(), "wintun.dll in the data folder is held open and cannot be compared: "
                                         "CreateFileW failed: 32: " + os_error_text(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(placed.error().system_code(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(log.lines(), std::vector<std::string>{placed.error().one_line()});
    EXPECT_FALSE(detail::path_metadata_readable(data / "absent.dll"));

    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(data)) ++entries;
    EXPECT_EQ(entries, 1u) << "no temporary copy left";
}

// The placed copy is for SYSTEM and the Administrators alone: a standard
// user may not even open it to read (and so cannot hold it against every
// start). Wine stores no DACL on files: there the descriptor set is judged.
TEST(DataFolderWin32, ThePlacedCopyIsOpenToNoUser) {
    testing::TempDir dir;
    std::filesystem::create_directories(dir.path() / "exe");
    ASSERT_TRUE(detail::create_protected_folder(dir.path() / "data").value_or(false));
    std::ofstream(dir.path() / "exe" / "wintun.dll", std::ios::binary) << "new";
    ASSERT_TRUE(detail::place_wintun(dir.path() / "exe", dir.path() / "data"));
    const unique_handle standard = access::identification_token(true);
    ASSERT_TRUE(standard) << GetLastError();
    PSECURITY_DESCRIPTOR built = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(detail::PRIVATE_COPY_SDDL, SDDL_REVISION_1, &built,
                                                                     nullptr));
    const unique_hlocal built_owner(built);
    const unique_handle copy = adopt_file_handle(CreateFileW((dir.path() / "data" / "wintun.dll").c_str(), READ_CONTROL,
                                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(copy) << GetLastError();
    for (const ACCESS_MASK right : {ACCESS_MASK{FILE_READ_DATA}, ACCESS_MASK{GENERIC_READ}, ACCESS_MASK{GENERIC_WRITE}}) {
        SCOPED_TRACE(right);
        EXPECT_FALSE(access::descriptor_grants(built, standard.get(), right).value());
        if (!links::under_wine()) {
            EXPECT_FALSE(access::granted(standard.get(), copy.get(), right).value());
        }
    }
    EXPECT_TRUE(access::descriptor_grants(built, access::identification_token(false).get(), GENERIC_ALL).value())
        << "the Administrators keep it";
}

TEST(DataFolderWin32, RelativeAndRootedFolders) {
    testing::TempDir dir;
    // A relative folder resolves against the current folder, as an empty
    // ProgramData makes it.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    EXPECT_TRUE(create_folder_all(L"Velmor\\service"));
    std::filesystem::current_path(previous);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Velmor" / "service"));
    // A drive root exists already.
    EXPECT_TRUE(create_folder_all(dir.path().root_path()));
}

using links::under_wine;

struct Descriptor {
    unique_hlocal owner;
    PSECURITY_DESCRIPTOR get() const { return owner.get(); }
};

Descriptor from_sddl(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR built = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &built, nullptr))
        << GetLastError();
    return Descriptor{unique_hlocal(built)};
}

TEST(FolderSecurity, TheProtectedDescriptor) {
    const PSECURITY_DESCRIPTOR descriptor = detail::protected_folder_descriptor();
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(descriptor, detail::protected_folder_descriptor()) << "built once";

    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
    ASSERT_NE(owner, nullptr);
    EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "nothing inherited from ProgramData";

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    struct Expected {
        WELL_KNOWN_SID_TYPE who;
        ACCESS_MASK rights;
    };
    const Expected expected[] = {{WinLocalSystemSid, FILE_ALL_ACCESS},
                                 {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                                 {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
    ASSERT_EQ(dacl->AceCount, 3);
    for (DWORD i = 0; i < 3; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        void* raw = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &raw));
        const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, expected[i].rights);
        EXPECT_TRUE(IsWellKnownSid(const_cast<DWORD*>(&ace->SidStart), expected[i].who));
    }
    EXPECT_EQ(detail::folder_security_problem_of(descriptor), std::nullopt);
}

TEST(FolderSecurity, VerdictsOnDescriptors) {
    struct Case {
        const char* label;
        const wchar_t* sddl;
        bool safe;
    };
    const Case cases[] = {
        {"ours", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true},
        {"owner SYSTEM, not protected", L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        {"owner Users", L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {"owner an ordinary user", L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)", false},
        {"owner Everyone", L"O:WDD:P(A;OICI;FA;;;SY)", false},
        {"no owner", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {"empty DACL: no one but the owner", L"O:BAD:P", true},
        {"Users full control", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)", false},
        {"Users modify", L"O:BAD:P(A;OICI;0x1301bf;;;BU)", false},
        {"Everyone write", L"O:BAD:P(A;;FW;;;WD)", false},
        {"Everyone may add a file", L"O:BAD:P(A;;0x2;;;WD)", false},
        {"Everyone may add a folder", L"O:BAD:P(A;;0x4;;;WD)", false},
        {"Authenticated Users may delete children", L"O:BAD:P(A;;0x40;;;AU)", false},
        {"Users may write attributes", L"O:BAD:P(A;;0x100;;;BU)", false},
        {"Users may change the DACL", L"O:BAD:P(A;;WD;;;BU)", false},
        {"Users may delete", L"O:BAD:P(A;;SD;;;BU)", false},
        {"an ordinary user reads and executes", L"O:BAD:P(A;OICI;0x1200a9;;;S-1-5-21-1-2-3-1001)", true},
        {"Everyone generic read and execute, mapped", L"O:BAD:P(A;OICI;GRGX;;;WD)", true},
        {"Everyone generic write", L"O:BAD:P(A;OICIIO;GW;;;WD)", false},
        {"Users generic all, inherit-only", L"O:BAD:P(A;OICIIO;GA;;;BU)", false},
        // Who may create inside decides: only SYSTEM here.
        {"CREATOR OWNER generic all where only SYSTEM may create", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)", true},
        {"CREATOR OWNER generic all where Users may add files", L"O:BAD:P(A;OICIIO;GA;;;CO)(A;;0x2;;;BU)", false},
        {"CREATOR OWNER read", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICIIO;GR;;;CO)", true},
        {"OWNER RIGHTS full control", L"O:BAD:P(A;;FA;;;OW)", false},
        {"deny only", L"O:BAD:P(D;OICI;FA;;;WD)(D;OICI;FA;;;BU)", true},
        {"a deny before an allow is not counted on", L"O:BAD:P(D;;FA;;;BU)(A;;FA;;;BU)", false},
        {"inherited, safe", L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)", true},
        {"inherited, Users write", L"O:BAD:AI(A;OICIID;FA;;;SY)(A;CIID;0x116;;;BU)", false},
        {"explicit safe, inherited unsafe", L"O:BAD:AI(A;OICI;FA;;;SY)(A;OICIID;FA;;;BU)", false},
        {"a folder an installer made under Program Files",
         L"O:SYD:AI(A;ID;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;CIIOID;GA;;;CO)"
         L"(A;ID;0x1301bf;;;BA)(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)",
         true},
        {"a volume's root: Users may add folders", L"O:SYD:(A;OICI;FA;;;SY)(A;CI;0x4;;;BU)(A;OICIIO;SDGXGWGR;;;BU)", false},
        {"ProgramData's own, as inherited by a folder a user made",
         L"O:S-1-5-21-1-2-3-1001D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)"
         L"(A;OICIID;0x1200a9;;;BU)(A;CIID;DCLCRPCR;;;BU)",
         false},
    };
    // Never more lenient than the system: where the verdict is "safe", a
    // standard user's token of our own making is refused every right beyond
    // reading and executing.
    const unique_handle standard = access::identification_token(true);
    ASSERT_TRUE(standard) << GetLastError();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Descriptor descriptor = from_sddl(c.sddl);
        ASSERT_NE(descriptor.get(), nullptr);
        EXPECT_EQ(detail::folder_security_problem_of(descriptor.get()).has_value(), !c.safe);
        if (!c.safe) continue;
        const DWORD forbidden[] = {FILE_WRITE_DATA,       FILE_APPEND_DATA, FILE_WRITE_EA, FILE_DELETE_CHILD,
                                   FILE_WRITE_ATTRIBUTES, DELETE,           WRITE_DAC,     WRITE_OWNER};
        for (const DWORD right : forbidden)
            EXPECT_FALSE(access::descriptor_grants(descriptor.get(), standard.get(), right).value()) << "right " << right;
    }
    EXPECT_TRUE(detail::folder_security_problem_of(nullptr).has_value());
    {
        SCOPED_TRACE("a null DACL grants everyone everything");
        SECURITY_DESCRIPTOR descriptor{};
        ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
        alignas(SID) BYTE admins[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof admins;
        ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
        ASSERT_TRUE(SetSecurityDescriptorOwner(&descriptor, admins, FALSE));
        EXPECT_TRUE(detail::folder_security_problem_of(&descriptor).has_value()) << "no DACL present";
        ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
        EXPECT_TRUE(detail::folder_security_problem_of(&descriptor).has_value()) << "a DACL present but null";
    }
}

TEST(FolderSecurity, TheProtectedDescriptorIsReadBack) {
    testing::TempDir dir;
    const std::filesystem::path folder = dir.path() / "Velmor";
    const Result<bool> created = detail::create_protected_folder(folder);
    ASSERT_TRUE(created) << created.error().full_description();
    EXPECT_TRUE(*created);
    EXPECT_FALSE(*detail::create_protected_folder(folder)) << "already there";
    Result<std::optional<trust::Entry>> opened = trust::open_entry(folder);
    ASSERT_TRUE(opened && *opened);
    EXPECT_EQ((*opened)->kind, trust::EntryKind::Folder);
    const Result<trust::Permissions> permissions = trust::entry_permissions((*opened)->opened);
    ASSERT_TRUE(permissions);
    const std::optional<std::string> problem = trust::who_may_change(trust::TrustRole::DataFolder, *permissions);
    // Asked of the folder's own handle: NTFS keeps them; Wine reports that it
    // does, but keeps nothing.
    EXPECT_EQ(trust::permissions_kept((*opened)->opened), !under_wine());
    if (under_wine())
        GTEST_SKIP() << "Wine does not store owner or DACL of files (it reports a DACL made from the Unix mode): only "
                        "real Windows can show the descriptor read back";
    EXPECT_EQ(problem.value_or(""), "");
}

std::string one_line_of(const std::filesystem::path& path) { return narrow(path.native()); }

TEST(PrepareDataFolderWin32, AFileInPlaceOfTheServiceFolderIsSetAside) {
    testing::TempDir dir;
    const std::filesystem::path service = dir.path() / "ProgramData" / "Velmor" / "service";
    std::filesystem::create_directories(service.parent_path());
    std::ofstream(service, std::ios::binary) << "theirs";
    testing::LogCapture log;
    const Result<PreparedDataFolder> prepared = prepare_data_folder(service);
    ASSERT_TRUE(prepared) << prepared.error().full_description();
    EXPECT_TRUE(std::filesystem::is_directory(service));
    std::vector<std::filesystem::path> aside;
    for (const auto& entry : std::filesystem::directory_iterator(service.parent_path()))
        if (entry.path() != service) aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(aside[0].filename().native().starts_with(L"service.untrusted-"));
    EXPECT_EQ(testing::read_file(aside[0]), "theirs");
    EXPECT_TRUE(log.contains("data folder: set aside " + one_line_of(service) + " as " + one_line_of(aside[0]) +
                             ": not a folder"));
    // A link in its place: CoreEndToEnd.LinkInPlaceOfTheServiceFolderIsNeverFollowed.
}

TEST(PrepareDataFolderWin32, BothFoldersAreHeldUntilTheStartEnds) {
    testing::TempDir dir;
    const std::filesystem::path service = dir.path() / "ProgramData" / "Velmor" / "service";
    const auto renamed = [](const std::filesystem::path& folder) {
        const std::wstring moved = folder.native() + L".moved";
        if (!MoveFileExW(folder.c_str(), moved.c_str(), 0)) return false;
        EXPECT_TRUE(MoveFileExW(moved.c_str(), folder.c_str(), 0));
        return true;
    };
    {
        const Result<PreparedDataFolder> prepared = prepare_data_folder(service);
        ASSERT_TRUE(prepared) << prepared.error().full_description();
        if (under_wine()) {
            EXPECT_TRUE(renamed(service));
            GTEST_SKIP() << "Wine does not enforce share modes on folders: a held folder can still be renamed there, "
                            "so only real Windows shows the hold";
        }
        EXPECT_FALSE(renamed(service));
        EXPECT_FALSE(renamed(service.parent_path()));
    }
    EXPECT_TRUE(renamed(service)) << "free once the start has ended";
}

TEST(PrepareDataFolderWin32, AFolderOthersMayWriteIsSetAside) {
    testing::TempDir dir;
    const std::filesystem::path service = dir.path() / "ProgramData" / "Velmor" / "service";
    std::filesystem::create_directories(service.parent_path().parent_path());
    ASSERT_TRUE(detail::create_protected_folder(service.parent_path()).value_or(false));
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;BU)", SDDL_REVISION_1, &raw, nullptr));
    const unique_hlocal open_to_users(raw);
    SECURITY_ATTRIBUTES security{sizeof security, raw, FALSE};
    ASSERT_TRUE(CreateDirectoryW(service.c_str(), &security)) << GetLastError();
    std::ofstream(service / "wintun.dll") << "planted";
    if (under_wine() || !trust::permissions_kept(dir.path() / "ProgramData"))
        GTEST_SKIP() << "the volume does not keep DACLs (Wine stores none): the folder cannot be told from a safe "
                        "one, and only real Windows shows it set aside";
    testing::LogCapture log;
    const Result<PreparedDataFolder> prepared = prepare_data_folder(service);
    ASSERT_TRUE(prepared) << prepared.error().full_description();
    EXPECT_TRUE(std::filesystem::is_empty(service));
    std::size_t aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(service.parent_path())) {
        if (entry.path() == service) continue;
        ++aside;
        EXPECT_EQ(testing::read_file(entry.path() / "wintun.dll"), "planted");
    }
    EXPECT_EQ(aside, 1u);
}

}  // namespace
}  // namespace velmor
