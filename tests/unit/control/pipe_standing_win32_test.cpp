// The Administrators group enabled (elevated) and deny-only (filtered).

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
    EXPECT_FALSE(client_standing(GetCurrentProcess())) << "not a token";
}

}  // namespace
}  // namespace velmor
