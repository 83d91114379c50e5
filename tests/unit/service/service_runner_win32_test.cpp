#include "service/service_runner.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

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

TEST(HandleControl, OnlyStopAndPreshutdownAreAcceptedAndTheyOnlySetTheFlag) {
    struct Case {
        DWORD control;
        const char* label;
    };
    const Case refused[] = {
        {SERVICE_CONTROL_PAUSE, "pause"},
        {SERVICE_CONTROL_CONTINUE, "continue"},
        {SERVICE_CONTROL_INTERROGATE, "interrogate"},
        {SERVICE_CONTROL_SHUTDOWN, "shutdown"},
        {SERVICE_CONTROL_PARAMCHANGE, "paramchange"},
        {SERVICE_CONTROL_SESSIONCHANGE, "sessionchange"},
        {0, "zero"},
        {128, "first user code"},
        {255, "last user code"},
        {0xFFFFFFFF, "all bits"},
    };
    // No status handle: the stop is not reported, only flagged.
    ServiceControlContext context(std::make_shared<std::atomic<bool>>(false));
    std::atomic<bool>& flag = *context.stop_requested;
    int event_data = 7;
    for (const Case& c : refused) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(handle_control(c.control, 1, &event_data, &context), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
        EXPECT_FALSE(flag.load());
    }

    EXPECT_EQ(handle_control(SERVICE_CONTROL_STOP, 0, nullptr, &context), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(flag.load());

    // A second Stop is answered the same way; the flag stays set, and the
    // other codes still change nothing.
    EXPECT_EQ(handle_control(SERVICE_CONTROL_STOP, 0, nullptr, &context), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(flag.load());
    EXPECT_EQ(handle_control(SERVICE_CONTROL_INTERROGATE, 0, nullptr, &context),
              static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_TRUE(flag.load());

    // The system going down stops the core as Stop does.
    ServiceControlContext shutting_down(std::make_shared<std::atomic<bool>>(false));
    EXPECT_EQ(handle_control(SERVICE_CONTROL_PRESHUTDOWN, 0, nullptr, &shutting_down), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(shutting_down.stop_requested->load());
    EXPECT_EQ(WaitForSingleObject(shutting_down.wake.get(), 0), WAIT_OBJECT_0) << "the routine is woken";
}

}  // namespace
}  // namespace velmor
