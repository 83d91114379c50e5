// The portable decision over owners and entries, and the walk over the
// program folder with a reader of the test's own: every way the check itself
// can fail must refuse.

#include "trust/file_trust.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "base/names.hpp"
#include "core/program_trust.hpp"
#include "trust/entry.hpp"
#include "trust/program_files.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor::trust {
namespace {

const Account ADMINS{"BA", true};
const Account USERS{"BU", false};

Permissions owned(Account owner, std::vector<AccessEntry> dacl = {}) { return {std::move(owner), std::move(dacl)}; }

TEST(WhoMayChange, OwnersAndEntriesByRole) {
    using enum TrustRole;
    struct Case {
        const char* label;
        Permissions permissions;
        std::string folders_and_files;  // the verdict for ProgramFolder, DataFolder and File; "" safe
        std::string ancestor;
    };
    const Account creator{"CO", false, true};
    const Case cases[] = {
        {"read and execute, generic mapped", owned(ADMINS, {{USERS, rights::READ_GENERIC | rights::EXECUTE_GENERIC}}), "", ""},
        {"owned by Users", owned(USERS), "BU, its owner, may change it", "BU, its owner, may change it"},
        {"no owner", {std::nullopt, std::vector<AccessEntry>{}}, "anyone may change it: it has no owner",
         "anyone may change it: it has no owner"},
        {"no DACL", {ADMINS, std::nullopt}, "everyone may change it: it has no DACL", "everyone may change it: it has no DACL"},
        {"generic all after a harmless entry", owned(ADMINS, {{USERS, rights::READ_AND_EXECUTE}, {USERS, rights::ALL_GENERIC}}),
         "BU may change it", "BU may change it"},
        {"CREATOR OWNER where only the trusted may create", owned(ADMINS, {{creator, rights::ALL_GENERIC, true}}), "", ""},
        {"CREATOR OWNER where Users may add files", owned(ADMINS, {{creator, rights::ALL_GENERIC, true}, {USERS, rights::WRITE_DATA}}),
         "BU may change it", ""},
        {"an entry of a kind files never carry", owned(ADMINS, {{Account{"someone"}, 0, false, true}}),
         "someone may change it: its DACL holds an entry of a kind files never carry",
         "someone may change it: its DACL holds an entry of a kind files never carry"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // Adding, writing: refused but on an ancestor. Deleting, renaming,
    // re-permissioning: refused everywhere.
    for (const std::uint32_t mask : {rights::WRITE_DATA, rights::APPEND_DATA, rights::WRITE_ATTRIBUTES, rights::WRITE_GENERIC})
        all.push_back({"adding or writing", owned(ADMINS, {{USERS, mask}}), "BU may change it", ""});
    for (const std::uint32_t mask : {rights::DELETE_ENTRY, rights::DELETE_CHILD, rights::CHANGE_DACL, rights::CHANGE_OWNER})
        all.push_back({"deleting or re-permissioning", owned(ADMINS, {{USERS, mask}}), "BU may change it", "BU may change it"});
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Case& c = all[i];
        SCOPED_TRACE(std::string(c.label) + " #" + std::to_string(i));
        for (const TrustRole role : {ProgramFolder, DataFolder, File, Ancestor}) {
            const std::string& wanted = role == Ancestor ? c.ancestor : c.folders_and_files;
            EXPECT_EQ(who_may_change(role, c.permissions).value_or(""), wanted) << static_cast<int>(role);
        }
    }
    // Inherit-only entries reach only what is made inside: the files dropped
    // into a folder SYSTEM uses, never anything on an ancestor's path.
    const Permissions inherit_only = owned(ADMINS, {{USERS, rights::ALL_GENERIC, true}});
    EXPECT_EQ(who_may_change(ProgramFolder, inherit_only), "BU may change it");
    EXPECT_EQ(who_may_change(DataFolder, inherit_only), "BU may change it");
    EXPECT_EQ(who_may_change(Ancestor, inherit_only), std::nullopt);
    EXPECT_EQ(who_may_change(File, inherit_only), std::nullopt);
    // A private file (the log): reading, too, is for the trusted alone.
    EXPECT_EQ(who_may_change(Private, owned(ADMINS, {{USERS, rights::READ_GENERIC}})), "BU may open it");
    EXPECT_EQ(who_may_change(Private, inherit_only), std::nullopt);
}

EntryFacts entry(EntryKind kind, Permissions permissions = owned(ADMINS)) { return {kind, std::move(permissions)}; }

TEST(FindUnsafe, TheFirstPartFromTheRootDownAndEveryFailedCheck) {
    using enum EntryKind;
    const std::filesystem::path root("/"), programs("/programs"), velmor("/programs/velmor"),
        library("/programs/velmor/core.dll");
    struct Case {
        const char* label;
        std::map<std::filesystem::path, Result<std::optional<EntryFacts>>> changes;
        bool permissions_kept;
        std::string unsafe;  // "{path}: {reason}: {cause}"; "" when safe
    };
    const Error denied("CreateFileW failed: 5");
    const Case cases[] = {
        {"all safe", {}, true, ""},
        {"the library missing: nothing to check yet", {{library, std::optional<EntryFacts>()}}, true, ""},
        {"the library writable by Users", {{library, entry(File, owned(ADMINS, {{USERS, rights::WRITE_DATA}}))}}, true,
         "/programs/velmor/core.dll: BU may change it"},
        {"the nearest to the root first", {{root, entry(Folder, owned(USERS))}, {library, entry(File, owned(USERS))}},
         true, "/: BU, its owner, may change it"},
        {"an ancestor where Users may delete inside",
         {{programs, entry(Folder, owned(ADMINS, {{USERS, rights::DELETE_CHILD}}))}}, true, "/programs: BU may change it"},
        {"a junction on the path", {{programs, entry(Link)}}, true, "/programs: it is a link or junction"},
        {"the root shown as a link (Wine's drives)", {{root, entry(Link)}}, true, ""},
        {"a link for the library", {{library, entry(Link)}}, true, "/programs/velmor/core.dll: it is a link or junction"},
        {"a folder for the library", {{library, entry(Folder)}}, true, "/programs/velmor/core.dll: it is not a file"},
        {"a file for the program folder", {{velmor, entry(File)}}, true, "/programs/velmor: it is not a folder"},
        {"permissions not kept: owners not judged", {{programs, entry(Folder, owned(USERS))}}, false, ""},
        {"permissions not kept: links still count", {{programs, entry(Link)}}, false, "/programs: it is a link or junction"},
        // Fail closed.
        {"the library cannot be read", {{library, fail(denied)}}, true,
         "/programs/velmor/core.dll: it cannot be checked: CreateFileW failed: 5"},
        {"the root cannot be read, permissions not kept", {{root, fail(denied)}}, false,
         "/: it cannot be checked: CreateFileW failed: 5"},
        {"an ancestor missing", {{programs, std::optional<EntryFacts>()}}, true, "/programs: it cannot be found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::map<std::filesystem::path, Result<std::optional<EntryFacts>>> parts = {
            {root, entry(Folder)}, {programs, entry(Folder)}, {velmor, entry(Folder)}, {library, entry(File)}};
        for (const auto& [path, read] : c.changes) parts.insert_or_assign(path, read);
        const EntryReader reader = [&](const std::filesystem::path& path) -> Result<std::optional<EntryFacts>> {
            const auto found = parts.find(path);
            return found == parts.end() ? std::optional<EntryFacts>() : found->second;
        };
        const std::optional<Unsafe> unsafe = find_unsafe(velmor, {library, velmor / "wintun.dll"}, reader, c.permissions_kept);
        std::string found;
        if (unsafe) {
            const Error error = unsafe_error("core library", *unsafe);
            found = error.message() + (error.cause() ? ": " + error.cause()->message() : "");
        }
        EXPECT_EQ(found, c.unsafe.empty() ? "" : "core library is not safe: " + c.unsafe);
    }
}

TEST(DecideProgramTrust, OnlyARecordedAllowanceTurnsARefusalIntoAWarning) {
    const Unsafe unsafe{"/p/core.dll", "BU may change it", std::nullopt};
    const std::string refusal = "core library is not safe: /p/core.dll: BU may change it";
    struct Case {
        std::optional<Unsafe> unsafe;
        Result<bool> allowed;
        bool refused;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {std::nullopt, fail("RegGetValueW failed: 5"), false, {}},
        {unsafe, false, true, {refusal}},
        {unsafe, true, false, {"warning: " + refusal + " (allowed at install)"}},
        // Fail closed: an allowance that cannot be read allows nothing.
        {unsafe, fail("RegGetValueW failed: 5"), true,
         {refusal, "cannot read HKLM\\SOFTWARE\\Velmor\\Helper\\AllowUnsafeFolder: RegGetValueW failed: 5"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged.empty() ? "safe" : c.logged.back());
        std::vector<std::string> logged;
        const Result<> decided = decide_program_trust("core library", c.unsafe, c.allowed, UNSAFE_FOLDER_ALLOWANCE,
                                                      [&](bool warning, const std::string& line) {
                                                          logged.push_back((warning ? "warning: " : "") + line);
                                                      });
        EXPECT_EQ(decided ? "" : decided.error().message(), c.refused ? refusal : "");
        EXPECT_EQ(logged, c.logged);
    }
    // As the helper runs it, into its log; where nothing is recorded, nothing is allowed.
    testing::LogCapture log;
    EXPECT_FALSE(velmor::decide_program_trust("core library", unsafe));
    EXPECT_EQ(log.lines(), std::vector<std::string>{refusal});
}

// Set-asides on several threads at once each get a name of their own.
TEST(SetAsideName, DistinctAcrossThreads) {
    std::vector<std::filesystem::path::string_type> made[4];
    std::vector<std::jthread> threads;
    for (auto& mine : made) threads.emplace_back([&mine] { for (int i = 0; i < 1000; ++i) mine.push_back(untrusted_suffix()); });
    threads.clear();
    std::set<std::filesystem::path::string_type> names;
    for (const auto& mine : made) names.insert(mine.begin(), mine.end());
    EXPECT_EQ(names.size(), 4000u);
}

}  // namespace
}  // namespace velmor::trust
