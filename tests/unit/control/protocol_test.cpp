#include "control/protocol.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "control/config_check.hpp"
#include "support/test_actions.hpp"

namespace velmor {
namespace {

// The reply line, or "ERROR: " and the full description of the request error.
std::string answer(std::string_view received, ActionContext& actions) {
    Result<std::string> r = handle_request(received, actions);
    return r ? *r : "ERROR: " + r.error().full_description();
}

std::string answer(std::string_view received) { return answer(received, testing::TestActions().context()); }

TEST(Protocol, PingIsAnsweredToTheByte) {
    const std::string reply = answer("{\"id\":\"7\",\"action\":\"ping\"}\n");
    EXPECT_EQ(reply, "{\"id\":\"7\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n");
    EXPECT_EQ(reply.size(), 55u);
}

TEST(Protocol, ValidRequests) {
    struct Case {
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {"{\"action\":\"ping\"}", "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        {"{\"id\":null,\"action\":\"ping\"}", "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        {"{\"id\":\"\",\"action\":\"ping\"}", "{\"id\":\"\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        {"{\"action\":\"ping\",\"extra\":[1,2]}", "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        {"{\"x\":1,\"x\":{\"id\":5},\"action\":\"ping\"}", "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        {"{\"id\":\"a\",\"action\":\"status\"}",
         "{\"id\":\"a\",\"ok\":true,\"error\":null,\"data\":{\"error\":null,\"running\":false,\"status\":\"stopped\"}}\n"},
        {"{\"id\":\"1\",\"action\":\"PING\"}", "{\"id\":\"1\",\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
        {"{\"id\":\"1\",\"action\":\"Ping\"}", "{\"id\":\"1\",\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
        {"{\"id\":\"1\",\"action\":\" ping\"}", "{\"id\":\"1\",\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
        {"{\"id\":\"1\"}", "{\"id\":\"1\",\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
        {"{\"action\":null}", "{\"id\":null,\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
        {"{}", "{\"id\":null,\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
        // Framing: CR LF, Unicode white space around the object, a second line ignored.
        {"{\"action\":\"ping\"}\r\n", "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        // A carriage return is white space between tokens too (a line feed ends the request).
        {"{\r\"id\":\"c\",\r\"action\"\r:\r\"ping\"\r}\r\n",
         "{\"id\":\"c\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        {"\xE3\x80\x80 {\"action\":\"ping\"}\xC2\xA0", "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        {"{\"action\":\"ping\"}\n{\"action\":\"status\"}\n", "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        {"{\"action\":\"ping\"}\ngarbage", "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        // Escapes decode before comparison; the id is echoed as decoded text.
        {"{\"id\":\"\\u00e9\\\"\\n\",\"action\":\"p\\u0069ng\"}",
         "{\"id\":\"\xC3\xA9\\\"\\n\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
        {"{\"id\":\"\\u0000\",\"action\":\"x\"}", "{\"id\":\"\\u0000\",\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(answer(c.request), c.reply);
    }
}

TEST(Protocol, InvalidRequestsGetNoReply) {
    struct Case {
        std::string request;
        std::string message;  // the outermost message of the request error
    };
    const Case cases[] = {
        {"", "invalid request: "},
        {"\n", "invalid request: "},
        {"  \r\n", "invalid request: "},
        {"{\"id\":7,\"action\":\"ping\"}", "invalid request: {\"id\":7,\"action\":\"ping\"}"},
        {"{\"id\":true,\"action\":\"ping\"}", "invalid request: {\"id\":true,\"action\":\"ping\"}"},
        {"{\"action\":\"start\",\"config\":{}}", "invalid request: {\"action\":\"start\",\"config\":{}}"},
        {"{\"action\":[\"ping\"]}", "invalid request: {\"action\":[\"ping\"]}"},
        {"{\"action\":\"ping\",\"action\":\"ping\"}", "invalid request: {\"action\":\"ping\",\"action\":\"ping\"}"},
        {"{\"id\":null,\"id\":null}", "invalid request: {\"id\":null,\"id\":null}"},
        {"[null,\"ping\",null]", "invalid request: [null,\"ping\",null]"},
        {"\"ping\"", "invalid request: \"ping\""},
        {"{\"action\":\"ping\"} x", "invalid request: {\"action\":\"ping\"} x"},
        {"{\"action\":\"ping\"}\xC2\xA0x", "invalid request: {\"action\":\"ping\"}\xC2\xA0x"},
        {"{\"action\":\"ping\"", "invalid request: {\"action\":\"ping\""},
        {"{\"action\":\"\\ud800\"}", "invalid request: {\"action\":\"\\ud800\"}"},
        {std::string("{\"action\":\"ping\"}\0junk", 22), "invalid request: {\"action\":\"ping\"}\\u{0}junk"},
        // Client text is escaped and bounded in the message, which only the log sees.
        {"{\"a\":1}\r{\"forged\":\"line\"", "invalid request: {\"a\":1}\\r{\"forged\":\"line\""},
        {"[" + std::string(5000, '1'), "invalid request: [" + std::string(1023, '1') + " [3977 more bytes left out]"},
        {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"{\"action\":\"ping\"}\xE2\x82", "incomplete utf-8 byte sequence from index 17"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        testing::TestActions actions;
        Result<std::string> r = handle_request(c.request, actions.context());
        ASSERT_FALSE(r.has_value()) << *r;
        EXPECT_EQ(r.error().message(), c.message);
        if (c.message.starts_with("invalid request: ")) {
            ASSERT_NE(r.error().cause(), nullptr);
            EXPECT_NE(r.error().cause()->message().find(" at line 1 column "), std::string::npos)
                << r.error().cause()->message();
        }
    }
}

TEST(Protocol, InvalidRequestReportNamesTheFault) {
    EXPECT_EQ(answer("{\"id\":7}"),
              "ERROR: invalid request: {\"id\":7}\n\nCaused by:\n"
              "    invalid type: number, expected a string or null at line 1 column 7");
    EXPECT_EQ(answer("{\"action\":\"ping\",\"action\":\"ping\"}"),
              "ERROR: invalid request: {\"action\":\"ping\",\"action\":\"ping\"}\n\nCaused by:\n"
              "    duplicate field `action` at line 1 column 26");
}

TEST(Protocol, NestingLimitCountsTheOutermostObject) {
    const auto request = [](std::size_t depth) {
        // The request object is level 1; "x" holds depth - 1 nested arrays.
        return "{\"x\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + ",\"action\":\"ping\"}";
    };
    testing::TestActions actions;
    EXPECT_TRUE(handle_request(request(127), actions.context()).has_value());
    EXPECT_FALSE(handle_request(request(128), actions.context()).has_value());
    // Deep enough to overflow any recursive parser's stack.
    const std::string deep = "{\"x\":" + std::string(1'000'000, '[');
    EXPECT_FALSE(handle_request(deep, actions.context()).has_value());
}

TEST(Protocol, LongConfigurationsArriveIntact) {
    // A long configuration is taken from the parser's own buffer rather than
    // copied; it must come out exactly as decoded wherever it stands in the
    // request and whatever escapes it and its neighbours hold.
    std::string decoded;
    std::string escaped;
    for (int i = 0; decoded.size() < 6000; ++i) {
        decoded += "{\"n\":" + std::to_string(i) + ",\"s\":\"\u00e9\\n\"},";
        escaped += "{\\\"n\\\":" + std::to_string(i) + ",\\\"s\\\":\\\"\\u00e9\\\\n\\\"},";
    }
    const std::string config = "\"config\":\"[" + escaped + "0]\"";
    const std::string requests[] = {
        "{" + config + ",\"action\":\"x\",\"id\":\"\\u0041\\\"\"}",
        "{\"id\":\"\\u0041\\\"\",\"other\":[\"\\u00e9\\n\",{\"k\":\"\\\\\"}]," + config + ",\"action\":\"x\"}",
        "  {\"action\":\"x\",\"id\":\"A\\\"\"," + config + "}  ",
    };
    for (const std::string& request : requests) {
        SCOPED_TRACE(request.substr(0, 60));
        const Result<Request> r = parse_request(request);
        ASSERT_TRUE(r.has_value()) << r.error().message();
        ASSERT_TRUE(r->config.has_value());
        EXPECT_EQ(*r->config, "[" + decoded + "0]");
        EXPECT_EQ(r->id, std::optional<std::string>("A\""));
        EXPECT_EQ(r->action, std::optional<std::string>("x"));
        EXPECT_TRUE(check_config(r->config).has_value());
    }
    // The check reads such a configuration in place, to its very end.
    const Result<Request> broken = parse_request("{\"config\":\"[" + escaped + "0] x\"}");
    ASSERT_TRUE(broken.has_value());
    EXPECT_EQ(check_config(broken->config).error().message(), "config is not valid JSON");
}

TEST(Protocol, StatusReportsTheCoreRecord) {
    testing::TestActions actions;
    CoreShared& core = actions.core();
    {
        std::lock_guard lock(core.mutex);
        core.state = CoreState::Failed;
        core.last_error = "core exited \"unexpectedly\"";
    }
    const std::string failed = "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"error\":\"core exited \\\"unexpectedly\\\"\","
                               "\"running\":false,\"status\":\"failed\"}}\n";
    EXPECT_EQ(answer("{\"action\":\"status\"}", actions.context()), failed);
    // A client the policy does not let start and stop (or that cannot be
    // checked) gets a fixed text; it is asked only when there is an error.
    int asked = 0;
    ControlClient hidden, shown;
    hidden.may_see_error = [&] { return ++asked, false; };
    shown.may_see_error = [&] { return ++asked, true; };
    EXPECT_EQ(handle_request("{\"action\":\"status\"}", actions.context(), shown).value_or(""), failed);
    EXPECT_EQ(handle_request("{\"action\":\"status\"}", actions.context(), hidden).value_or(""),
              "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"error\":\"hidden by ControlAccess policy\","
              "\"running\":false,\"status\":\"failed\"}}\n");
    {
        std::lock_guard lock(core.mutex);
        core.state = CoreState::Running;
        core.last_error.reset();
    }
    EXPECT_EQ(handle_request("{\"action\":\"status\"}", actions.context(), hidden).value_or(""),
              "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"error\":null,\"running\":true,\"status\":\"running\"}}\n");
    EXPECT_EQ(asked, 2);
}

TEST(Protocol, ReplySerialisation) {
    Reply reply;
    reply.id = "\x01\xC3\xA9/";
    reply.ok = false;
    reply.error = "line\r\ntab\t";
    EXPECT_EQ(serialize_reply(reply), "{\"id\":\"\\u0001\xC3\xA9/\",\"ok\":false,\"error\":\"line\\r\\ntab\\t\",\"data\":null}\n");
}

// What "status" shows of each state of the record: the words that clients
// and docs/protocol.md rely on, on the wire, with the record's error; a fresh
// record is stopped.
TEST(CoreState, StatusShowsEachStateUnderItsDocumentedWord) {
    const std::pair<CoreState, std::string> states[] = {{CoreState::Stopped, "stopped"},
                                                        {CoreState::Starting, "starting"},
                                                        {CoreState::Running, "running"},
                                                        {CoreState::Stopping, "stopping"},
                                                        {CoreState::Failed, "failed"}};
    testing::TestActions actions;
    EXPECT_EQ(answer("{\"action\":\"status\"}", actions.context()),
              "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"error\":null,\"running\":false,\"status\":\"stopped\"}}\n");
    CoreShared& core = actions.core();
    for (const auto& [state, word] : states) {
        SCOPED_TRACE(word);
        {
            std::lock_guard lock(core.mutex);
            core.state = state;
            core.last_error = "old error";
        }
        const std::string running = state == CoreState::Running ? "true" : "false";
        EXPECT_EQ(answer("{\"action\":\"status\"}", actions.context()),
                  "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"error\":\"old error\",\"running\":" + running +
                      ",\"status\":\"" + word + "\"}}\n");
    }
    static_assert(sizeof(CoreState) == 1);
}

}  // namespace
}  // namespace velmor
