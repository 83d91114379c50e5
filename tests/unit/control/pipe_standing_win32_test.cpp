// Whom the pipe counts as an administrator for its kept instance, read from
// tokens of the test's own making: the same user with the Administrators
// group enabled (an elevated administrator) and deny-only (a filtered one,
// or a standard user as far as any check goes).

#include <gtest/gtest.h>

#include "control/pipe_server_win32.hpp"
#include "support/access_check_win32.hpp"

namespace velmor {
namespace {

TEST(PipeClientStanding, OnlyAnEnabledAdministratorsGroupOrSystemCounts) {
    for (const bool filtered : {false, true}) {
        SCOPED_TRACE(filtered ? "Administrators deny-only" : "Administrators enabled");
        const unique_handle token = access::identification_token(filtered);
        ASSERT_TRUE(token);
        const Result<ClientStanding> standing = client_standing(token.get());
        ASSERT_TRUE(standing) << standing.error().message();
        EXPECT_FALSE(standing->system);
        EXPECT_EQ(standing->administrators_enabled, !filtered);
    }
    // Not a token: not read, so not elevated.
    const Result<ClientStanding> unread = client_standing(GetCurrentProcess());
    EXPECT_FALSE(unread);
}

}  // namespace
}  // namespace velmor
