#include <gtest/gtest.h>

#include "service/install.hpp"
#include "support/access_check_win32.hpp"
// After <windows.h>:
#include <sddl.h>

namespace velmor {
namespace {

// The event log's descriptor as install writes it, asked of AccessCheck (the
// Event Log service keeps it, Wine none): a standard user may not write
// events that look like ours, nor read or clear them; the Administrators may.
TEST(EventLogSecurity, OnlySystemAndTheAdministratorsWriteOurEvents) {
    constexpr ACCESS_MASK READ = 0x1, WRITE = 0x2, CLEAR = 0x4;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(EVENT_LOG_DESCRIPTOR, SDDL_REVISION_1, &descriptor,
                                                                     nullptr));
    const unique_hlocal owner(descriptor);
    const struct {
        bool standard_user;
        ACCESS_MASK access;
        bool granted;
    } rows[] = {{true, WRITE, false}, {true, CLEAR, false}, {true, READ, false}, {false, WRITE, true}, {false, CLEAR, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "standard user " << row.standard_user << ", access " << row.access);
        const unique_handle token = access::identification_token(row.standard_user);
        ASSERT_TRUE(token) << GetLastError();
        const Result<bool> granted = access::descriptor_grants(descriptor, token.get(), row.access);
        ASSERT_TRUE(granted) << granted.error().full_description();
        EXPECT_EQ(*granted, row.granted);
    }
}

}  // namespace
}  // namespace velmor
