#include "velmor-ctl/check_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace velmor::ctl {
namespace {

using trust::EntryFacts, trust::EntryKind;
using Found = Result<std::optional<EntryFacts>>;

// Over a folder tree of the row's own, "/v/app" ("/v/new" before install):
// what is printed, the status, and which folder the volume was asked of.
TEST(CheckFolder, PrintsTheVerdictAndRefusesEveryDoubt) {
    const EntryFacts ours{EntryKind::Folder, trust::Permissions{trust::Account{"BA", true}, {{}}}};
    const EntryFacts users{EntryKind::Folder, trust::Permissions{trust::Account{"BU", false}, {{}}}};
    const std::string refused = "velmor-ctl: program folder is not safe: ";
    struct Case {
        const char* label;
        bool before_install, allowed, kept;
        std::map<std::filesystem::path, Found> changes;
        int status;
        std::string printed;  // on standard output when safe, else on standard error
        const char* asked = "/v";
        bool unmade = false;  // the making fails
    };
    const Case cases[] = {
        {"installed, ours", false, false, true, {}, CHECK_SAFE, "program folder is safe: /v/app\n"},
        {"no permissions kept", false, false, false, {}, CHECK_SAFE,
         "program folder: permissions cannot be enforced on this volume, only links and kinds were checked: /v/app\n"},
        {"this client a link", false, false, true, {{"/v/app/velmor-ctl.exe", EntryFacts{EntryKind::Link, {}}}},
         CHECK_UNSAFE, refused + "/v/app/velmor-ctl.exe: it is a link or junction\n"},
        {"the check fails", false, false, true, {{"/v/app", fail("denied")}}, CHECK_UNSAFE,
         refused + "/v/app: it cannot be checked: denied\n"},
        {"missing: made, the volume asked above it", true, false, true, {{"/v", std::nullopt}}, CHECK_SAFE,
         "program folder is safe: /v/new\n", "/"},
        {"a user's", true, false, true, {{"/v/new", users}}, CHECK_UNSAFE, refused + "/v/new: BU, its owner, may change it\n"},
        {"a user's, allowed", true, true, true, {{"/v/new", users}}, CHECK_SAFE, "program folder is safe: /v/new\n"},
        {"the making fails", true, false, true, {}, CHECK_UNSAFE, refused + "/v/new: it cannot be made: full\n",
         "/v", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::map<std::filesystem::path, Found> tree = {{"/", ours}, {"/v", ours}, {"/v/app", ours}, {"/v/new", std::nullopt}};
        for (const auto& [path, found] : c.changes) tree.insert_or_assign(path, found);
        std::filesystem::path asked;
        FolderCalls calls{[&](const std::filesystem::path& p) { return tree.contains(p) && tree.at(p) && tree.at(p)->has_value(); },
                          [&](const std::filesystem::path& p) { return asked = p, c.kept; },
                          {[&](const std::filesystem::path& p) { return tree.contains(p) ? tree.at(p) : Found(std::nullopt); },
                           [](const std::filesystem::path&) { return Result<std::vector<std::filesystem::path>>(); },
                           [&](const std::filesystem::path& p) -> Result<> {
                               if (c.unmade) return fail("full");
                               tree.insert_or_assign(p, ours);
                               return {};
                           }}};
        const CheckFolderOutcome outcome =
            check_folder_outcome(c.before_install, c.allowed, std::filesystem::path(c.before_install ? "/v/new" : "/v/app"), calls);
        EXPECT_EQ(outcome.status, c.status);
        std::string printed = c.status == CHECK_SAFE ? outcome.out : outcome.err;
        std::ranges::replace(printed, '\\', '/');  // the separator Windows joins with
        EXPECT_EQ(printed, c.printed);
        EXPECT_EQ((c.status == CHECK_SAFE ? outcome.err : outcome.out), "");
        EXPECT_EQ(asked, c.asked);
    }
    const CheckFolderOutcome unnamed = check_folder_outcome(false, false, fail("invalid folder x"), {});
    EXPECT_EQ(unnamed.status, CHECK_USAGE);
    EXPECT_EQ(unnamed.err, "velmor-ctl: invalid folder x\n");
    for (const char* given : {"/v/app/.", "/v/app/", "/v/app"}) EXPECT_EQ(without_closing_separator(given), "/v/app") << given;
    EXPECT_EQ(without_closing_separator("/"), "/");
}

}  // namespace
}  // namespace velmor::ctl
