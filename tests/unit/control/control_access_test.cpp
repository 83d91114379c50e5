#include "control/control_access.hpp"

#include <gtest/gtest.h>

namespace velmor {
namespace {

// Fail closed: only a missing value or a granting check lets a start through.
// The descriptor check itself is in control_access_win32_test.cpp.
TEST(ControlAccessDecision, OnlyNoValueOrAGrantingCheckAllows) {
    int calls = 0;
    const auto granting = [&](const std::string&) -> Result<ClientCheck> { return ++calls, ClientCheck{true, {}}; };
    const AccessDecision none = decide_control_access(Action::start, std::optional<std::string>(), granting);
    EXPECT_TRUE(none.allowed);
    EXPECT_EQ(calls, 0);

    const AccessDecision unreadable = decide_control_access(Action::stop, fail("RegGetValueW failed: 1630"), granting);
    EXPECT_FALSE(unreadable.allowed);
    EXPECT_EQ(unreadable.log_line, "access denied by ControlAccess policy: stop refused: cannot read "
                                   "HKLM\\SOFTWARE\\Velmor\\Helper\\ControlAccess: RegGetValueW failed: 1630");
    EXPECT_EQ(calls, 0);

    // Fail closed: a client that cannot be checked, or is not granted, is refused.
    const auto refused = [](Result<ClientCheck> checked) {
        return decide_control_access(Action::start, std::optional<std::string>("D:"),
                                     [&](const std::string&) { return checked; });
    };
    const AccessDecision unchecked = refused(fail(Error("cannot identify the client", Error("OpenThreadToken failed: 1008"))));
    EXPECT_FALSE(unchecked.allowed);
    EXPECT_EQ(unchecked.log_line,
              "access denied by ControlAccess policy: start refused: cannot identify the client: OpenThreadToken failed: 1008");
    const AccessDecision denied = refused(ClientCheck{false, "S-1-5-21-1 (process 7)"});
    EXPECT_FALSE(denied.allowed);
    EXPECT_EQ(denied.log_line, "access denied by ControlAccess policy: start refused to S-1-5-21-1 (process 7)");
}

}  // namespace
}  // namespace velmor
