#include "service/host_report.hpp"

#include <gtest/gtest.h>

namespace velmor {
namespace {

// The holder of a taken name is called the service only when the service
// manager says the service runs in that very process (both named ones: e2e).
TEST(HostReport, TheNamesHolderIsTheServiceOnlyWhenItRunsThere) {
    const struct {
        std::optional<std::uint32_t> process, service;
        std::string said;
    } rows[] = {
        {7, std::nullopt, "process 7; end that process first"},  // a manager that cannot say: nobody is
        {std::nullopt, std::nullopt, "an unknown process; end the program that holds it first"},
    };
    for (const auto& row : rows) {
        const PipeHolder holder = pipe_holder_words(row.process, row.service);
        EXPECT_EQ(holder.who + "; " + holder.advice, row.said);
    }
}

}  // namespace
}  // namespace velmor
