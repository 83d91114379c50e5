#include "control/control_access.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velmor {
namespace {

TEST(ControlAccessDecision, OnlyNoValueOrAGrantingCheckAllows) {
    using Value = Result<std::optional<std::string>>;
    struct Case {
        const char* label;
        Value value;
        Result<ClientCheck> check;
        bool allowed;
        const char* log_line;
    };
    const Case cases[] = {
        {"no value", Value(std::nullopt), fail("not called"), true, ""},
        {"unreadable value", fail(Error("RegGetValueW failed: 1630")), ClientCheck{true, {}}, false,
         "access denied by ControlAccess policy: stop refused: cannot read "
         "HKLM\\SOFTWARE\\Velmor\\Helper\\ControlAccess: RegGetValueW failed: 1630"},
        {"granted", Value(std::string("D:(A;;GA;;;BU)")), ClientCheck{true, {}}, true, ""},
        {"not granted", Value(std::string("D:(A;;GA;;;SY)")), ClientCheck{false, "S-1-5-21-0-0-0-1000 (process 7)"},
         false, "access denied by ControlAccess policy: stop refused to S-1-5-21-0-0-0-1000 (process 7)"},
        {"check failed", Value(std::string("x")), fail(Error("not a valid security descriptor", Error("failed: 1336"))),
         false, "access denied by ControlAccess policy: stop refused: not a valid security descriptor: failed: 1336"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        int calls = 0;
        const AccessDecision decision = decide_control_access("stop", c.value, [&](const std::string& sddl) {
            ++calls;
            EXPECT_EQ(sddl, **c.value);
            return c.check;
        });
        EXPECT_EQ(decision.allowed, c.allowed);
        EXPECT_EQ(decision.log_line, c.log_line);
        EXPECT_EQ(calls, c.value && *c.value ? 1 : 0);
    }
}

}  // namespace
}  // namespace velmor
