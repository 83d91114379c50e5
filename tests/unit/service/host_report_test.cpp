// Which event each of the host's reports is: an administrator filters the
// Event Log by these ids.

#include "service/host_report.hpp"

#include <gtest/gtest.h>

namespace velmor {
namespace {

TEST(HostEvent, EachNewsHasItsOwnEvent) {
    struct Case {
        HostNews news;
        HostEvent expected;
    };
    const Case cases[] = {
        {HostNews::started, {EventId::service_started, EventKind::information}},
        // A stop reported as a start would read as a restart.
        {HostNews::stopped, {EventId::service_stopped, EventKind::information}},
        {HostNews::program_folder_unsafe, {EventId::program_folder_unsafe, EventKind::warning}},
        {HostNews::recovery_not_set, {EventId::recovery_not_set, EventKind::warning}},
        // Ends the taken name's error, under its id.
        {HostNews::name_held_after_wait, {EventId::pipe_name_taken, EventKind::information}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.news));
        EXPECT_EQ(host_event(c.news), c.expected);
    }
}

}  // namespace
}  // namespace velmor
