#include "velmor-ctl/status_line.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace velmor::ctl {
namespace {

TEST(StatusLine, ReadableLineForEachReply) {
    struct Case {
        const char* reply;
        std::optional<std::string> line;
    };
    const std::vector<Case> cases = {
        {R"({"id":null,"ok":true,"error":null,"data":{"error":null,"running":true,"status":"running"}})"
         "\n",
         "core running"},
        {R"({"id":null,"ok":true,"error":null,"data":{"error":null,"running":false,"status":"stopped"}})",
         "core stopped"},
        {R"({"id":null,"ok":true,"error":null,"data":{"error":"clash_start: bad \"port\"","running":false,"status":"failed"}})",
         "core failed: clash_start: bad \"port\""},
        {R"({"id":null,"ok":true,"error":null,"data":{"error":"hidden by ControlAccess policy","running":false,"status":"failed"}})",
         "core failed: hidden by ControlAccess policy"},
        {R"({"id":null,"ok":false,"error":"unknown action","data":null})", "status refused: unknown action"},
        // Not a status reply: printed as received.
        {R"({"id":null,"ok":true,"error":null,"data":{"pong":true}})", std::nullopt},
        {R"({"id":null,"ok":true,"error":null,"data":null})", std::nullopt},
        {R"({"id":null,"ok":false,"error":null,"data":null})", std::nullopt},
        {R"({"id":null,"ok":"yes"})", std::nullopt},
        {R"({"id":null,"ok":true,"error":null,"data":{"status":3}})", std::nullopt},
        {"[1,2]", std::nullopt},
        {"{\"ok\":tru", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        EXPECT_EQ(status_line(c.reply), c.line);
    }
}

}  // namespace
}  // namespace velmor::ctl
