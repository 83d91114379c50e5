#include "control/control_access.hpp"

#include <gtest/gtest.h>

namespace velmor {
namespace {

// Fail closed: only a missing value or a granting check lets a start through.
// The descriptor check itself is in control_access_win32_test.cpp.
TEST(ControlAccessDecision, OnlyNoValueOrAGrantingCheckAllows) {
    int calls = 0;
    const auto granting = [&](const std::string&) -> Result<ClientCheck> { return ++calls, ClientCheck{true, {}}; };
    const AccessDecision none = decide_control_access("start", std::optional<std::string>(), granting);
    EXPECT_TRUE(none.allowed);
    EXPECT_EQ(calls, 0);

    const AccessDecision unreadable = decide_control_access("stop", fail("RegGetValueW failed: 1630"), granting);
    EXPECT_FALSE(unreadable.allowed);
    EXPECT_EQ(unreadable.log_line, "access denied by ControlAccess policy: stop refused: cannot read "
                                   "HKLM\\SOFTWARE\\Velmor\\Helper\\ControlAccess: RegGetValueW failed: 1630");
    EXPECT_EQ(calls, 0);

    struct Case {
        const char* label;
        Result<ClientCheck> checked;
        bool allowed;
        std::string log_line;
    };
    const Case cases[] = {
        {"granted", ClientCheck{true, {}}, true, ""},
        {"not granted", ClientCheck{false, "S-1-5-21-1-2-3-1001 (process 7)"}, false,
         "access denied by ControlAccess policy: start refused to S-1-5-21-1-2-3-1001 (process 7)"},
        // Fail closed: a client that cannot be checked is refused.
        {"the check fails", fail(Error("cannot identify the client", Error("OpenThreadToken failed: 1008"))), false,
         "access denied by ControlAccess policy: start refused: cannot identify the client: OpenThreadToken failed: 1008"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string seen;
        const AccessDecision decision = decide_control_access(
            "start", std::optional<std::string>("D:(A;;GA;;;BA)"), [&](const std::string& sddl) -> Result<ClientCheck> {
                seen = sddl;
                return c.checked;
            });
        EXPECT_EQ(seen, "D:(A;;GA;;;BA)");
        EXPECT_EQ(decision.allowed, c.allowed);
        EXPECT_EQ(decision.log_line, c.log_line);
    }
}

}  // namespace
}  // namespace velmor
