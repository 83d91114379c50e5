#include "velmor-ctl/pipe_client.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace velmor::ctl {
namespace {

// Whom velmor-ctl sends to: the service's own process only (any helper with
// --console); a failed query of the service manager refuses as well.
TEST(PipeClient, OnlyTheServiceGetsTheRequest) {
    using Service = Result<std::optional<std::uint32_t>>;
    HelperIdentity server;
    server.process = 9;
    const std::string next = "; nothing was sent: for a helper in console mode, run `velmor-ctl --console stop`";
    const std::string served = "\\\\.\\pipe\\velmor-helper is served by process 9 (C:\\h\\VELMOR-helper.exe)";
    struct Case {
        Service service;
        bool console;
        const char* refusal;  // none: allowed
        std::string text = {};
        std::string image = "C:\\h\\VELMOR-helper.exe";
    };
    const std::vector<Case> cases = {
        {std::optional<std::uint32_t>(9), false, nullptr},
        {fail("OpenSCManagerW failed: 5"), true, nullptr},
        {std::optional<std::uint32_t>(), true, nullptr},
        {fail("OpenSCManagerW failed: 5"), false, "query",
         "cannot query the velmor-helper service to check who serves \\\\.\\pipe\\velmor-helper; nothing was sent: "
         "OpenSCManagerW failed: 5"},
        {std::optional<std::uint32_t>(), false, "not installed",
         "the velmor-helper service is not installed, yet " + served + next},
        {std::optional<std::uint32_t>(0), false, "not running",
         "the velmor-helper service is not running, yet " + served + next},
        {std::optional<std::uint32_t>(0), false, "a program that is no helper",
         "the velmor-helper service is not running, yet \\\\.\\pipe\\velmor-helper is served by process 9 "
         "(C:\\tmp\\velmor-helper.exe.bat); nothing was sent: that program is not velmor-helper.exe",
         "C:\\tmp\\velmor-helper.exe.bat"},
        {std::optional<std::uint32_t>(0), false, "unreadable",
         "the velmor-helper service is not running, yet \\\\.\\pipe\\velmor-helper is served by process 9; "
         "nothing was sent (for a helper in console mode, use --console)",
         ""},
        {std::optional<std::uint32_t>(5), false, "a stranger beside the service",
         served + ", not by the velmor-helper service (process 5); nothing was sent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusal ? c.refusal : "allowed");
        server.image = c.image;
        const Result<> checked = check_server(c.service, server, c.console, "stop");
        ASSERT_EQ(checked.has_value(), c.refusal == nullptr);
        if (c.refusal) {
            EXPECT_EQ(checked.error().message(), c.text);
        }
    }
}

}  // namespace
}  // namespace velmor::ctl
