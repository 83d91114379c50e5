#include "core/machine_lock.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "core_test_support.hpp"
#ifdef _WIN32
#include "base/win.hpp"
#include "support/folder_links_win32.hpp"
#endif

namespace velmor {
namespace {

std::string test_lock_name() { return "Local\\Velmor.Test.Lock." + testing::unique_suffix(); }

TEST(MachineLock, OneHolderAtATimeAcrossThreads) {
    const std::string name = test_lock_name();
    std::optional<MachineLock> held;
    {
        Result<MachineLock> taken = acquire_machine_lock(name);
        ASSERT_TRUE(taken);
        held.emplace(std::move(*taken));
    }

    // Ownership is the acquiring thread's: another thread of this process is
    // refused like another process would be, and told who made the lock.
    bool other_thread_got_it = true;
    std::string refusal;
    std::thread([&] {
        Result<MachineLock> other = acquire_machine_lock(name);
        other_thread_got_it = other.has_value();
        if (!other) refusal = other.error().one_line();
    }).join();
    EXPECT_FALSE(other_thread_got_it);
#ifdef _WIN32
    // Wine keeps no owner on a mutex: there the refusal says so instead.
    if (links::under_wine())
        EXPECT_EQ(refusal, "another Velmor core is already active on this machine: its owner could not be read: the "
                           "descriptor names no owner");
    else
#endif
        EXPECT_TRUE(refusal.starts_with("another Velmor core is already active on this machine: created by ")) << refusal;

    // A different name is a different lock.
    EXPECT_TRUE(acquire_machine_lock(test_lock_name()));

    held.reset();
    bool after_release = false;
    std::thread([&] { after_release = acquire_machine_lock(name).has_value(); }).join();
    EXPECT_TRUE(after_release);
}

#ifdef _WIN32
// A name taken by another kind of object is refused as such (CreateMutexW's
// documented ERROR_INVALID_HANDLE, which Wine gives too).
TEST(MachineLock, ANameTakenByAnEventIsRefusedAsSuch) {
    const std::string name = test_lock_name();
    const unique_handle event(CreateEventW(nullptr, TRUE, FALSE, widen(name).c_str()));
    ASSERT_TRUE(event);
    const Result<MachineLock> taken = acquire_machine_lock(name);
    ASSERT_FALSE(taken);
    EXPECT_TRUE(taken.error().one_line().starts_with(
        "another Velmor core is already active on this machine: a program holds its name as another kind of object "
        "(CreateMutexW failed: 6)"))
        << taken.error().one_line();
}
#endif

// Who holds the lock goes under the refusal; an owner that cannot be read
// still refuses, and says why. A lock we cannot even open says that its
// creator keeps the service out.
TEST(MachineLock, RefusalNamesTheOwnerOrWhyItIsUnknown) {
    struct Case {
        const char* name;
        std::optional<LockOpenFailure> unopenable;  // none: held, opened
        Result<std::string> owner;
        const char* line;
    };
    const Error refused = Error("CreateMutexW failed: 5", Error("Access is denied. (os error 5)"));
    const Case cases[] = {
        {"owner read", std::nullopt, std::string("BUILTIN\\Users"),
         "another Velmor core is already active on this machine: created by BUILTIN\\Users"},
        {"owner unreadable", std::nullopt, fail(Error("GetSecurityInfo failed: 5")),
         "another Velmor core is already active on this machine: its owner could not be read: GetSecurityInfo failed: 5"},
        {"refused, owner read", LockOpenFailure::Refused, std::string("DESKTOP\\eve"),
         "another Velmor core is already active on this machine: a program created it with a DACL that refuses the "
         "service (CreateMutexW failed: 5): created by DESKTOP\\eve"},
        {"another kind of object", LockOpenFailure::OtherKind, std::string("unused"),
         "another Velmor core is already active on this machine: a program holds its name as another kind of object "
         "(CreateMutexW failed: 5)"},
        {"the system could not make it", LockOpenFailure::Other, std::string("unused"),
         "another Velmor core is already active on this machine: CreateMutexW failed: 5: Access is denied. (os error 5)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Error refusal = c.unopenable ? machine_lock_unopenable(*c.unopenable, refused, c.owner)
                                           : machine_lock_refusal(c.owner);
        EXPECT_EQ(refusal.message(), MACHINE_LOCK_BUSY_ERROR);
        EXPECT_EQ(refusal.one_line(), c.line);
    }
}

}  // namespace
}  // namespace velmor
