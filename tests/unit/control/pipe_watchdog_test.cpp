#include "control/pipe_watchdog.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velmor {
namespace {

using namespace std::chrono_literals;

// Waits for `condition` with a generous bound.
template <class F>
bool eventually(F condition) {
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

TEST(IoWatchdog, CancelsAfterTheDeadlineAndKeepsCancellingUntilDisarmed) {
    std::atomic<int> cancels{0};
    IoWatchdog watchdog([&] { ++cancels; }, 5ms);
    watchdog.arm(IoWatchdog::Clock::now() + 20ms);
    ASSERT_TRUE(eventually([&] { return cancels.load() >= 3; }));
    EXPECT_TRUE(watchdog.expired());
    EXPECT_TRUE(watchdog.disarm());
    const int after_disarm = cancels.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(cancels.load(), after_disarm);
    EXPECT_FALSE(watchdog.expired());
}

TEST(IoWatchdog, AnEarlierDeadlineWakesAThreadThatSleepsUntilALaterOne) {
    std::atomic<int> cancels{0};
    IoWatchdog watchdog([&] { ++cancels; }, 5ms);
    // The thread now sleeps until the first deadline, a minute away.
    watchdog.arm(IoWatchdog::Clock::now() + 60s);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(watchdog.disarm());
    watchdog.arm(IoWatchdog::Clock::now() + 20ms);
    ASSERT_TRUE(eventually([&] { return cancels.load() >= 1; }));
    EXPECT_TRUE(watchdog.disarm());
    // A later deadline after an earlier one is kept too.
    watchdog.arm(IoWatchdog::Clock::now() + 10ms);
    watchdog.disarm();
    const int before = cancels.load();
    watchdog.arm(IoWatchdog::Clock::now() + 40ms);
    ASSERT_TRUE(eventually([&] { return cancels.load() > before; }));
    watchdog.disarm();
}

TEST(IoWatchdog, NeverCancelsWhatIsDisarmedInTime) {
    std::atomic<int> cancels{0};
    IoWatchdog watchdog([&] { ++cancels; }, 5ms);
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        watchdog.arm(IoWatchdog::Clock::now() + 10s);
        EXPECT_FALSE(watchdog.expired());
        EXPECT_FALSE(watchdog.disarm());
    }
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(cancels.load(), 0);
}

TEST(IoWatchdog, ReportsAPassedDeadlineEvenBeforeItsThreadHasCancelled) {
    IoWatchdog watchdog([] {}, 5ms);
    watchdog.arm(IoWatchdog::Clock::now() - 1ms);
    EXPECT_TRUE(watchdog.expired());
    EXPECT_TRUE(watchdog.disarm());
    // A fresh arm starts clean.
    watchdog.arm(IoWatchdog::Clock::now() + 10s);
    EXPECT_FALSE(watchdog.expired());
    EXPECT_FALSE(watchdog.disarm());
}

TEST(IoWatchdog, NoCancelReachesACallStartedAfterDisarm) {
    // The cancel runs under the watchdog's lock: while the owner is "inside"
    // a call that began after disarm returned, the flag must stay clear.
    std::atomic<bool> in_watched_call{false};
    std::atomic<int> stray{0};
    IoWatchdog watchdog(
        [&] {
            if (!in_watched_call.load()) ++stray;
        },
        1ms);
    for (int i = 0; i < 200; ++i) {
        in_watched_call = true;
        watchdog.arm(IoWatchdog::Clock::now() + std::chrono::microseconds(50 * (i % 5)));
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        watchdog.disarm();
        in_watched_call = false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    EXPECT_EQ(stray.load(), 0);
}

TEST(IoWatchdog, DisarmReturnsOnlyAfterACancelInProgressHasFinished) {
    // A cancel that is slow to return (CancelSynchronousIo on a busy
    // thread): a disarm made meanwhile must not return before it, or the
    // cancel could reach the owner's next call.
    std::atomic<bool> in_cancel{false}, let_go{false};
    IoWatchdog watchdog(
        [&] {
            in_cancel = true;
            while (!let_go.load()) std::this_thread::sleep_for(1ms);
            in_cancel = false;
        },
        1ms);
    watchdog.arm(IoWatchdog::Clock::now() - 1ms);
    ASSERT_TRUE(eventually([&] { return in_cancel.load(); }));
    std::atomic<bool> returned{false}, cancel_running_at_return{false};
    std::thread owner([&] {
        watchdog.disarm();
        cancel_running_at_return = in_cancel.load();
        returned = true;
    });
    // Time for a disarm that does not wait to return.
    std::this_thread::sleep_for(50ms);
    let_go = true;
    owner.join();
    EXPECT_TRUE(returned.load());
    EXPECT_FALSE(cancel_running_at_return.load());
}

}  // namespace
}  // namespace velmor
