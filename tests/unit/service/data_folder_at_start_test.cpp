// The helper's own preparation of the data folder as it starts: it holds the
// preparation mark of its ActionContext while it runs, so that a start is
// refused beside it, and lets it go when it ends, also when it outlives the
// start's wait; it never takes or ends a mark someone else holds.

#include "service/data_folder_at_start.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "core/core_state.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor {
namespace {

TEST(DataFolderAtStart, TheMarkIsHeldWhileThePreparationRunsAndOnlyThen) {
    struct Case {
        const char* label;
        bool marked_before;  // a start's preparation holds the mark already
        bool outlives_wait;  // the step is still running when the wait ends
    };
    const Case cases[] = {
        {"ends within the wait", false, false},
        {"ends after the wait", false, true},
        {"a start's preparation under way", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto release = std::make_shared<Signal>();
        auto runs = std::make_shared<std::atomic<int>>(0);
        PreparationSteps steps = system_preparation_steps();
        steps.data_folder = [release, runs](const std::filesystem::path&) -> Result<PreparedDataFolder> {
            runs->fetch_add(1);
            (void)release->wait_until(std::chrono::steady_clock::now() + std::chrono::seconds(30));
            return PreparedDataFolder();
        };
        auto actions = std::make_shared<ActionContext>(std::make_shared<CoreShared>(), steps,
                                                       [](EventId, std::string_view) {});
        if (c.marked_before) {
            ASSERT_TRUE(actions->begin_preparation());
        }
        if (!c.outlives_wait) release->set();

        prepare_data_folder_at_start(*actions, c.outlives_wait ? std::chrono::milliseconds(0) : std::chrono::seconds(30));
        if (c.marked_before) {
            EXPECT_EQ(runs->load(), 0) << "prepared beside a start";
            EXPECT_FALSE(actions->begin_preparation()) << "the start's mark was let go";
            actions->end_preparation();
            continue;
        }
        if (c.outlives_wait) {
            EXPECT_FALSE(actions->begin_preparation()) << "a start could prepare beside it";
            release->set();
        }
        // Let go once it has ended: the next start may prepare.
        EXPECT_TRUE(testing::wait_for([&] {
            if (!actions->begin_preparation()) return false;
            actions->end_preparation();
            return true;
        })) << "the mark was never let go";
        EXPECT_EQ(runs->load(), 1);
    }
}

}  // namespace
}  // namespace velmor
