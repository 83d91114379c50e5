#include "velmor-ctl/ctl_command_line.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace velmor::ctl {
namespace {

// Every command line either names one command or is refused with exit
// status 2 before anything is sent or read: the words, and what they ask
// for or the reason given.
TEST(CtlCommandLine, WordsToCommandOrRefusal) {
    struct Case {
        std::vector<std::string> words;
        const char* refusal;  // none: accepted
        Verb verb = Verb::Help;
        std::string value = {};
        bool console = false, json = false;
    };
    const std::vector<Case> cases = {
        {{"status"}, nullptr, Verb::Status},
        {{"--console", "status", "--json"}, nullptr, Verb::Status, "", true, true},
        {{"start", "--json", "c.json"}, nullptr, Verb::Start, "c.json", false, true},
        // The value of send is taken as written.
        {{"send", "--help"}, nullptr, Verb::Send, "--help"},
        {{"--console", "send", "--console"}, nullptr, Verb::Send, "--console", true},
        {{"log", "--help"}, nullptr, Verb::Help},
        {{"--version"}, nullptr, Verb::Version},
        {{"--console", "diag", "b"}, nullptr, Verb::Diag, "b", true},
        {{"diag"}, "diag needs FOLDER"},
        {{"--console", "check-folder"}, "check-folder takes no --console"},
        {{"check-folder", "x", "y"}, "unexpected argument \"y\" after check-folder x"},
        {{"check-folder", "--before-install"}, "check-folder --before-install needs FOLDER"},
        {{"check-folder", "--allow-unsafe-folder", "x"}, "unknown option \"--allow-unsafe-folder\" for check-folder"},
        {{}, "no command given"},
        {{"-x"}, "unknown option \"-x\""},
        {{"pong"}, "unknown command \"pong\""},
        {{"status", "--jsn"}, "unknown option \"--jsn\" for status"},
        {{"status", "--json", "--json"}, "option \"--json\" given twice"},
        {{"log", "-f", "--follow"}, "option \"--follow\" given twice"},
        {{"ping", "--console"}, "--console goes before the command"},
        {{"start"}, "start needs FILE"},
        {{"send"}, "send needs LINE"},
        {{"ping", "now"}, "unexpected argument \"now\" after ping"},
        {{"--version", "x"}, "unexpected argument \"x\" after --version"},
        {{"log", "--since", "2023-02-29"},
         "--since needs a time such as 2026-12-08, 2026-12-08T09:30 or 2026-12-08T09:30Z, not \"2023-02-29\""},
        {{"log", "--since"}, "--since needs a time, such as 2026-12-08T09:30Z"},
        {{"log", "a.log", "b.log"}, "unexpected argument \"b.log\" after log a.log"},
        {{"--console", "log", "a.log"}, "log takes FILE or --console, not both"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& w : c.words) shown += w + " ";
        SCOPED_TRACE(shown);
        const Result<CtlCommand> parsed = parse_ctl_command_line(c.words);
        if (c.refusal) {
            ASSERT_FALSE(parsed.has_value()) << static_cast<int>(parsed->verb);
            EXPECT_EQ(parsed.error().message(), c.refusal);
            continue;
        }
        ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
        EXPECT_EQ(parsed->verb, c.verb);
        EXPECT_EQ(parsed->value, c.value);
        EXPECT_EQ(parsed->console, c.console);
        EXPECT_EQ(parsed->json, c.json);
    }
    // The log's options, all at once, in any order.
    const std::vector<std::string> log = {"log", "--since", "2026-12-08T09:30Z", "a.log", "-f", "--local"};
    const Result<CtlCommand> parsed = parse_ctl_command_line(log);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
    EXPECT_EQ(parsed->file, "a.log");
    EXPECT_TRUE(parsed->follow && parsed->local && parsed->since && parsed->since->zoned);
    EXPECT_EQ(parsed->since->intervals, parse_iso_time("2026-12-08T09:30Z")->intervals);
}

}  // namespace
}  // namespace velmor::ctl
