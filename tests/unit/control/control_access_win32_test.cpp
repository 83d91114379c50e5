#include "control/control_access_win32.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/access_check_win32.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

// Tokens of our own making, since the pipe's client under test is always the
// same user: a member of Users and Administrators (as under Wine), and that
// user with Administrators for deny only.
TEST(ControlAccessCheck, DescriptorsGrantOrDenyTheRightTokens) {
    const unique_handle member = access::identification_token(false);
    const unique_handle standard = access::identification_token(true);
    ASSERT_TRUE(member) << GetLastError();
    ASSERT_TRUE(standard) << GetLastError();

    struct Case {
        const char* sddl;
        bool member_granted;
        bool standard_granted;
    };
    const Case cases[] = {
        {"D:(A;;GA;;;SY)", false, false},
        {"D:(A;;GA;;;BU)", true, true},
        {"D:(A;;GA;;;BA)(A;;GA;;;NO)", true, false},
        {"D:(D;;GA;;;BU)(A;;GA;;;BA)", false, false},  // a deny entry first wins
        {"D:(A;;GR;;;BU)", false, false},              // reading grants nothing
        {"D:(A;;GX;;;WD)", true, true},
        {"D:", false, false},
        {"O:BAG:BAD:(A;;GA;;;WD)", true, true},
        {"D:(D;;FA;;;BU)(A;;GW;;;WD)", false, false},  // deny entries may hold specific rights
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sddl);
        const Result<bool> member_granted = token_may_control(member.get(), c.sddl);
        ASSERT_TRUE(member_granted) << member_granted.error().full_description();
        EXPECT_EQ(*member_granted, c.member_granted);
        const Result<bool> standard_granted = token_may_control(standard.get(), c.sddl);
        ASSERT_TRUE(standard_granted) << standard_granted.error().full_description();
        EXPECT_EQ(*standard_granted, c.standard_granted);
    }

    // Not a descriptor, one that grants everyone for want of a DACL, one
    // with a SACL it would not enforce, or one that grants through a
    // specific right holding the control bit (also beside a generic one).
    for (const char* invalid : {"everyone", "", "O:SYG:SY", "D:(A;;GA;;;XX)", "D:(A;;GA;;;BU)S:(ML;;NW;;;HI)",
                                "D:(A;;FR;;;BU)", "D:(D;;GA;;;NU)(A;;GACC;;;WD)", "D:(A;;0x1;;;BA)"}) {
        SCOPED_TRACE(invalid);
        const Result<bool> granted = token_may_control(member.get(), invalid);
        ASSERT_FALSE(granted);
        EXPECT_EQ(granted.error().message(), "HKLM\\SOFTWARE\\Velmor\\Helper\\ControlAccess is not a valid security descriptor");
    }
}

// Who a client of the pipe is, as its start and stop log lines name it. A
// client that connects anonymously cannot be named: its account is
// unreadable, and handle_request then refuses its starts and stops.
TEST(ControlAccessCheck, AClientThatCannotBeNamedIsUnidentified) {
    struct Case {
        const char* name;
        DWORD flags;
        bool readable;
    };
    const Case cases[] = {
        {"identification", SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, true},
        {"anonymous", SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, false},
    };
    bool skipped = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.readable && access::running_under_wine()) {
            skipped = true;
            continue;
        }
        // A fresh instance takes a client before ConnectNamedPipe.
        const std::wstring name = L"\\\\.\\pipe\\velmor-test-identity-" + widen(testing::unique_suffix());
        const unique_handle server = adopt_file_handle(CreateNamedPipeW(
            name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 512, 512, 0, nullptr));
        ASSERT_TRUE(server) << GetLastError();
        const unique_handle client = adopt_file_handle(
            CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, c.flags, nullptr));
        ASSERT_TRUE(client) << GetLastError();
        char byte = 'x';
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(client.get(), &byte, 1, &n, nullptr));
        ASSERT_TRUE(ReadFile(server.get(), &byte, 1, &n, nullptr));
        const std::string process = " (process " + std::to_string(GetCurrentProcessId()) + ")";
        const ClientIdentity who = PipeClient(server.get()).identity();
        EXPECT_EQ(who.unreadable.has_value(), !c.readable) << (who.unreadable ? who.unreadable->one_line() : "");
        if (c.readable) {
            EXPECT_TRUE(who.name.ends_with(process)) << who.name;
            EXPECT_FALSE(who.name.starts_with("an unknown user")) << who.name;
        } else {
            EXPECT_EQ(who.name, "an unknown user" + process);
        }
    }
    if (skipped) GTEST_SKIP() << "Wine impersonates an anonymous client at its full level: only Windows shows it";
}

}  // namespace
}  // namespace velmor
