#include "service/console.hpp"

#include <gtest/gtest.h>

#include <future>

namespace velmor {
namespace {

bool is_set(const unique_handle& event) { return WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0; }

// Wine delivers only Ctrl+C to a console process (the end-to-end test sends
// it); the handler's answer to every event is checked here.
TEST(ConsoleEvent, StopEventsWaitForTheStopAndOthersPassOn) {
    struct Case {
        DWORD event;
        bool stops;
    };
    const Case cases[] = {
        {CTRL_C_EVENT, true},          {CTRL_BREAK_EVENT, true},     {CTRL_CLOSE_EVENT, true},
        {CTRL_LOGOFF_EVENT, false},    {CTRL_SHUTDOWN_EVENT, false}, {7, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(console_event_name(c.event));
        ConsoleStop stop;
        ASSERT_TRUE(make_console_stop(stop));
        auto handled = std::async(std::launch::async, [&] { return take_console_event(stop, c.event); });
        if (!c.stops) {
            EXPECT_EQ(handled.get(), FALSE);
            EXPECT_FALSE(is_set(stop.requested));
            EXPECT_EQ(stop.event.load(), NO_CONSOLE_EVENT);
            continue;
        }
        ASSERT_EQ(WaitForSingleObject(stop.requested.get(), 30'000), WAIT_OBJECT_0);
        EXPECT_EQ(stop.event.load(), c.event);
        // A second event while the stop runs waits too, and names nothing.
        auto again = std::async(std::launch::async, [&] { return take_console_event(stop, CTRL_CLOSE_EVENT); });
        // Until the stop has finished the handlers hold the process.
        EXPECT_EQ(handled.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
        SetEvent(stop.finished.get());
        EXPECT_EQ(handled.get(), TRUE);
        EXPECT_EQ(again.get(), TRUE);
        EXPECT_EQ(stop.event.load(), c.event);
    }
}

}  // namespace
}  // namespace velmor
