#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/machine_lock.hpp"
#include "core_test_support.hpp"

namespace velmor {
namespace {

TEST(MachineLockPosix, LockOfAProcessThatDiedIsFree) {
    const std::string name = "Velmor.Test.Dead." + testing::unique_suffix();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Takes the lock and dies without releasing it.
        Result<MachineLock> lock = acquire_machine_lock(name);
        const char flag = lock ? '1' : '0';
        (void)!write(ready[1], &flag, 1);
        sleep(1);
        _exit(0);
    }
    char flag = 0;
    ASSERT_EQ(read(ready[0], &flag, 1), 1);
    EXPECT_EQ(flag, '1');
    EXPECT_FALSE(acquire_machine_lock(name)) << "held by a live process";
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(acquire_machine_lock(name)) << "left by a dead process";
    close(ready[0]);
    close(ready[1]);
}

}  // namespace
}  // namespace velmor
