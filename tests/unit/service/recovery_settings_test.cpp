#include "service/recovery_settings.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace velmor {
namespace {

TEST(RecoverySettings, OnlyTheWantedSettingsReadInFullNeedNoSetting) {
    struct Case {
        const char* label;
        std::function<void(RecoverySettings&)> change;
        bool needs_setting;
    };
    const Case cases[] = {
        {"as install sets them", [](RecoverySettings&) {}, false},
        {"reset period unread, as under Wine", [](RecoverySettings& s) { s.reset_seconds.reset(); }, true},
        {"actions unread", [](RecoverySettings& s) { s.actions.reset(); }, true},
        {"flag unread, as under Wine (124)", [](RecoverySettings& s) { s.on_non_crash_failures.reset(); }, true},
        {"only crashes count", [](RecoverySettings& s) { s.on_non_crash_failures = false; }, true},
        {"a later delay changed", [](RecoverySettings& s) { (*s.actions)[2].delay_ms = 120'000; }, true},
        {"a fourth action", [](RecoverySettings& s) { s.actions->push_back({RECOVERY_RESTART, 60'000}); }, true},
        {"no action instead of a restart", [](RecoverySettings& s) { (*s.actions)[0].type = 0; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        RecoverySettings current = wanted_recovery();
        c.change(current);
        EXPECT_EQ(recovery_needs_setting(current), c.needs_setting);
    }
}

}  // namespace
}  // namespace velmor
