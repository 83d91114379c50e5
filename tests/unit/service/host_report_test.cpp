#include "service/host_report.hpp"

#include <gtest/gtest.h>

namespace velmor {
namespace {

// The holder of a taken name is called the service only when the service
// manager says the service runs in that very process.
TEST(HostReport, TheNamesHolderIsTheServiceOnlyWhenItRunsThere) {
    const std::string service = "stop the service first (sc stop velmor-helper)";
    const struct {
        const char* label;
        std::optional<std::uint32_t> process, service;
        std::string who, advice;
    } rows[] = {
        {"the service's process", 7, 7, "the velmor-helper service (process 7)", service},
        {"another process", 7, 8, "process 7", "end that process first"},
        {"the service not running, or not known", 7, std::nullopt, "process 7", "end that process first"},
        {"a holder the pipe does not name", std::nullopt, std::nullopt, "an unknown process",
         "end the program that holds it first"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const PipeHolder holder = pipe_holder_words(row.process, row.service);
        EXPECT_EQ(holder.who, row.who);
        EXPECT_EQ(holder.advice, row.advice);
    }
}

}  // namespace
}  // namespace velmor
