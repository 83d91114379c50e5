#include "service/service_runner.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace velmor {
namespace {

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
