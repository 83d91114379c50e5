#include "velmor-ctl/reply_text.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "velmor-ctl/log_viewer.hpp"

namespace velmor::ctl {
namespace {

CtlCommand command(Verb verb, bool json = false) {
    CtlCommand c;
    c.verb = verb;
    c.json = json;
    return c;
}

TEST(ReplyText, ReadableLineForEachReply) {
    struct Case {
        Verb verb;
        const char* reply;
        std::optional<std::string> line;
    };
    const std::vector<Case> cases = {
        {Verb::Status,
         R"({"id":null,"ok":true,"error":null,"data":{"error":null,"running":true,"status":"running"}})"
         "\n",
         "core running"},
        {Verb::Status, R"({"id":null,"ok":true,"error":null,"data":{"error":null,"running":false,"status":"stopped"}})",
         "core stopped"},
        {Verb::Status,
         R"({"id":null,"ok":true,"error":null,"data":{"error":"clash_start: bad \"port\"","running":false,"status":"failed"}})",
         "core failed: clash_start: bad \"port\""},
        {Verb::Status, R"({"id":null,"ok":false,"error":"unknown action","data":null})", "status refused: unknown action"},
        {Verb::Start, R"({"id":null,"ok":true,"error":null,"data":null})", "core started"},
        {Verb::Stop, R"({"id":null,"ok":true,"error":null,"data":null})", "core stopped"},
        {Verb::Stop, R"({"id":null,"ok":false,"error":"core stop timeout","data":null})", "stop failed: core stop timeout"},
        // Not such a reply: printed as received.
        {Verb::Status, R"({"id":null,"ok":true,"error":null,"data":{"pong":true}})", std::nullopt},
        {Verb::Status, R"({"id":null,"ok":true,"error":null,"data":null})", std::nullopt},
        {Verb::Start, R"({"id":null,"ok":true,"error":null,"data":{"status":"running"}})", std::nullopt},
        {Verb::Status, R"({"id":null,"ok":false,"error":null,"data":null})", std::nullopt},
        {Verb::Status, R"({"id":null,"ok":"yes"})", std::nullopt},
        {Verb::Status, R"({"id":null,"ok":true,"error":null,"data":{"status":3}})", std::nullopt},
        {Verb::Ping, R"({"id":null,"ok":true,"error":null,"data":{"pong":true}})", std::nullopt},
        {Verb::Status, "[1,2]", std::nullopt},
        {Verb::Status, "{\"ok\":tru", std::nullopt},
        {Verb::Status, "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        EXPECT_EQ(readable_reply(c.verb, c.reply), c.line);
    }
    EXPECT_EQ(helper_line({7, "C:\\h\\velmor-helper.exe", "0.9.0", "2026-12-08T05:00:00.0000000+01:00", {}}),
              "helper process 7, version 0.9.0, started 2026-12-08T05:00:00.0000000+01:00");
    EXPECT_EQ(helper_line({7, "", {}, {}, "OpenProcess failed: 5"}),
              "helper process 7 (version and start time unreadable: OpenProcess failed: 5)");
    EXPECT_EQ(helper_line({7, "C:\\h\\velmor-helper.exe", "0.9.0", {}, "OpenProcess failed: 5"}),
              "helper process 7, version 0.9.0 (start time unreadable: OpenProcess failed: 5)");
}

// Every path by which velmor-ctl prints what it did not write, given a text
// a core could quote from a user's configuration (ESC as JSON writes it;
// C1 CSI, NEL and U+2028 raw) and a plain one, which must pass unchanged.
TEST(ReplyText, EveryOutputPathEscapesControlCharacters) {
    const std::string in_json = "x\\u001b[2J\xC2\x9B" "31m\xC2\x85\xE2\x80\xA8y";
    const std::string raw = "x\x1b[2J\xC2\x9B" "31m\xC2\x85\xE2\x80\xA8y";
    const std::string for_people = "x\\u{1b}[2J\\u{9b}31m\\u{85}\\u{2028}y";
    const std::string for_scripts = "x\\u001b[2J\\u009b31m\\u0085\\u2028y";
    const std::string plain = "caf\xC3\xA9 [port 7890] \xE2\x80\x94 ok";
    const auto refusal = [](const std::string& text) { return R"({"id":null,"ok":false,"error":")" + text + "\",\"data\":null}\n"; };
    const std::string status_head = R"({"id":null,"ok":true,"error":null,"data":{"error":")";
    const std::string status_tail = "\",\"running\":false,\"status\":\"failed\"}}\n";
    HelperIdentity seven;
    seven.process = 7;
    struct Row {
        const char* path;
        std::function<std::string(const std::string& in_json, const std::string& raw)> print;
        std::string before, after;
        bool for_scripts = false;
    };
    const std::vector<Row> rows = {
        {"status", [&](auto& j, auto&) { return printed_reply(command(Verb::Status), status_head + j + status_tail, seven); },
         "core failed: ", "\nhelper process 7\n"},
        {"status --json", [&](auto& j, auto&) { return printed_reply(command(Verb::Status, true), status_head + j + status_tail, {}); },
         status_head, status_tail, true},
        {"start refused", [&](auto& j, auto&) { return printed_reply(command(Verb::Start), refusal(j), {}); },
         "start failed: ", "\n"},
        {"stop refused", [&](auto& j, auto&) { return printed_reply(command(Verb::Stop), refusal(j), {}); },
         "stop failed: ", "\n"},
        {"send", [&](auto& j, auto&) { return printed_reply(command(Verb::Send), refusal(j), {}); },
         R"({"id":null,"ok":false,"error":")", "\",\"data\":null}\n", true},
        {"an error", [&](auto&, auto& r) { return error_line(Error("cannot read the reply", Error(r))); },
         "velmor-ctl: cannot read the reply: ", "\n"},
        {"log FILE", [&](auto&, auto& r) { return LogLines(LogLineFilter(nullptr, {})).add("[SystemTime { intervals: 0 }] " + r + "\r\n"); },
         "[1601-01-01T00:00:00.0000000Z] ", "\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(row.print(in_json, raw), row.before + (row.for_scripts ? for_scripts : for_people) + row.after);
        EXPECT_EQ(row.print(plain, plain), row.before + plain + row.after);
    }
}

}  // namespace
}  // namespace velmor::ctl
