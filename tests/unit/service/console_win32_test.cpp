#include "service/console.hpp"

#include <gtest/gtest.h>

#include <future>

namespace velmor {
namespace {

// Wine delivers only Ctrl+C to a console process (the end-to-end test sends
// it); the handler's answer to every event is checked here.
TEST(ConsoleEvent, StopEventsWaitForTheStopAndOthersPassOn) {
    const DWORD events[] = {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT};
    for (const DWORD event : events) {
        SCOPED_TRACE(event);
        ConsoleStop stop;
        ASSERT_TRUE(make_console_stop(stop));
        auto handled = std::async(std::launch::async, [&] { return take_console_event(stop, event); });
        if (event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
            EXPECT_EQ(handled.get(), FALSE);
            EXPECT_EQ(WaitForSingleObject(stop.requested.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
            continue;
        }
        ASSERT_EQ(WaitForSingleObject(stop.requested.get(), 30'000), WAIT_OBJECT_0);
        // A second event waits too and does not rename the stop; until the
        // stop has finished both hold the process.
        auto again = std::async(std::launch::async, [&] { return take_console_event(stop, CTRL_CLOSE_EVENT); });
        EXPECT_EQ(handled.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
        SetEvent(stop.finished.get());
        EXPECT_EQ(handled.get(), TRUE);
        EXPECT_EQ(again.get(), TRUE);
        EXPECT_EQ(stop.event.load(), event);
    }
}

}  // namespace
}  // namespace velmor
