#include "velmor-ctl/check_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace velmor::ctl {
namespace {

using trust::EntryFacts, trust::EntryKind;
using Found = Result<std::optional<EntryFacts>>;

// Over a tree of the row's own: "/v/app" installed, "/v/new" before install.
TEST(CheckFolder, PrintsTheVerdictAndRefusesEveryDoubt) {
    const EntryFacts ours{EntryKind::Folder, trust::Permissions{trust::Account{"BA", true}, {{}}}};
    const std::string refused = "velmor-ctl: program folder is not safe: ";
    struct Case {
        bool before_install, kept;
        std::map<std::filesystem::path, Found> changes;
        int status;
        std::string printed;       // on standard output when safe, else on standard error
        const char* asked = "/v";  // of the volume's permissions
    };
    const Case cases[] = {
        {false, true, {}, CHECK_SAFE, "program folder is safe: /v/app\n"},
        {false, false, {}, CHECK_SAFE,
         "program folder: permissions cannot be enforced on this volume, only links and kinds were checked: /v/app\n"},
        {false, true, {{"/v/app", fail("denied")}}, CHECK_UNSAFE, refused + "/v/app: it cannot be checked: denied\n"},
        {true, true, {{"/v", std::nullopt}}, CHECK_SAFE, "program folder is safe: /v/new\n", "/"},  // made
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.printed);
        std::map<std::filesystem::path, Found> tree = {{"/", ours}, {"/v", ours}, {"/v/app", ours}};
        for (const auto& [path, found] : c.changes) tree.insert_or_assign(path, found);
        const auto read = [&](const std::filesystem::path& p) { return tree.contains(p) ? tree.at(p) : Found(std::nullopt); };
        std::filesystem::path asked;
        const FolderCalls calls{[&](const std::filesystem::path& p) { return read(p) && read(p)->has_value(); },
                                [&](const std::filesystem::path& p) { return asked = p, c.kept; },
                                {read, [](const std::filesystem::path&) { return Result<std::vector<std::filesystem::path>>(); },
                                 [&](const std::filesystem::path& p) { return tree.insert_or_assign(p, ours), Result<>(); }}};
        const CheckFolderOutcome outcome = check_folder_outcome(c.before_install, false, c.before_install ? "/v/new" : "/v/app", calls);
        std::string printed = outcome.out + outcome.err;
        std::ranges::replace(printed, '\\', '/');  // the separator Windows joins with
        EXPECT_EQ(printed, c.printed);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out.empty(), c.status != CHECK_SAFE);
        EXPECT_EQ(asked, c.asked);
    }
    const CheckFolderOutcome unnamed = check_folder_outcome(false, false, fail("invalid folder x"), {});
    EXPECT_EQ(unnamed.err, "velmor-ctl: invalid folder x\n");
    EXPECT_EQ(unnamed.status, CHECK_USAGE);
    for (const char* given : {"/v/app/.", "/v/app/", "/v/app"}) EXPECT_EQ(without_closing_separator(given), "/v/app") << given;
}

}  // namespace
}  // namespace velmor::ctl
