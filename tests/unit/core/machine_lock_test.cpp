#include "core/machine_lock.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "core_test_support.hpp"

namespace velmor {
namespace {

std::string test_lock_name() { return "Local\\Velmor.Test.Lock." + testing::unique_suffix(); }

TEST(MachineLock, OneHolderAtATimeAcrossThreads) {
    const std::string name = test_lock_name();
    std::optional<MachineLock> held = acquire_machine_lock(name);
    ASSERT_TRUE(held);

    // Ownership is the acquiring thread's: another thread of this process is
    // refused like another process would be.
    bool other_thread_got_it = true;
    std::thread([&] { other_thread_got_it = acquire_machine_lock(name).has_value(); }).join();
    EXPECT_FALSE(other_thread_got_it);

    // A different name is a different lock.
    EXPECT_TRUE(acquire_machine_lock(test_lock_name()));

    held.reset();
    bool after_release = false;
    std::thread([&] { after_release = acquire_machine_lock(name).has_value(); }).join();
    EXPECT_TRUE(after_release);
}

}  // namespace
}  // namespace velmor
