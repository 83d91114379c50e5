// The portable decision over owners and entries, and the walk over the
// program folder, with readers of the test's own: every way the check itself
// can fail must refuse.

#include "trust/file_trust.hpp"

#include <gtest/gtest.h>

#include <map>

#include "core/program_trust.hpp"
#include "unit/core/core_test_support.hpp"

namespace velmor::trust {
namespace {

const Account ADMINS{"BUILTIN\\Administrators", true};
const Account USERS{"BUILTIN\\Users", false};
const Account AUTHENTICATED{"NT AUTHORITY\\Authenticated Users", false};
const Account CREATOR{"CREATOR OWNER", false, true};

constexpr std::uint32_t FILE_ALL = 0x1f01ff;
constexpr std::uint32_t MODIFY = 0x1301bf;

Permissions owned_by(Account owner, std::vector<AccessEntry> dacl) { return Permissions{std::move(owner), std::move(dacl)}; }

TEST(WhoMayChange, OwnersAndEntriesByRole) {
    using enum TrustRole;
    struct Case {
        const char* label;
        Permissions permissions;
        std::map<TrustRole, std::string> unsafe;  // a role missing here finds it safe
    };
    const std::string users = "BUILTIN\\Users may change it";
    const auto all_roles = [](const std::string& why) {
        return std::map<TrustRole, std::string>{{ProgramFolder, why}, {DataFolder, why}, {Ancestor, why}, {File, why}};
    };
    const auto folders_and_files = [](const std::string& why) {
        return std::map<TrustRole, std::string>{{ProgramFolder, why}, {DataFolder, why}, {File, why}};
    };
    const Case cases[] = {
        {"trusted owner, read and execute for users",
         owned_by(ADMINS, {{ADMINS, FILE_ALL}, {USERS, rights::READ_AND_EXECUTE}}), {}},
        {"generic read and execute, mapped", owned_by(ADMINS, {{USERS, rights::READ_GENERIC | rights::EXECUTE_GENERIC}}), {}},
        {"owned by Users", owned_by(USERS, {}), all_roles("BUILTIN\\Users, its owner, may change it")},
        {"no owner", Permissions{std::nullopt, std::vector<AccessEntry>{}}, all_roles("anyone may change it: it has no owner")},
        {"no DACL", Permissions{ADMINS, std::nullopt}, all_roles("everyone may change it: it has no DACL")},
        {"an empty DACL: nobody but the owner", owned_by(ADMINS, {}), {}},
        {"Users write", owned_by(ADMINS, {{USERS, rights::WRITE_DATA}}), folders_and_files(users)},
        {"Users append", owned_by(ADMINS, {{USERS, rights::APPEND_DATA}}), folders_and_files(users)},
        {"Users generic write", owned_by(ADMINS, {{USERS, rights::WRITE_GENERIC}}), folders_and_files(users)},
        {"Users modify", owned_by(ADMINS, {{USERS, MODIFY}}), all_roles(users)},
        {"Users generic all", owned_by(ADMINS, {{USERS, rights::ALL_GENERIC}}), all_roles(users)},
        {"Users delete", owned_by(ADMINS, {{USERS, rights::DELETE_ENTRY}}), all_roles(users)},
        {"Users delete what is inside", owned_by(ADMINS, {{USERS, rights::DELETE_CHILD}}), all_roles(users)},
        {"Users change the DACL", owned_by(ADMINS, {{USERS, rights::CHANGE_DACL}}), all_roles(users)},
        {"Users take ownership", owned_by(ADMINS, {{USERS, rights::CHANGE_OWNER}}), all_roles(users)},
        {"Users write attributes", owned_by(ADMINS, {{USERS, rights::WRITE_ATTRIBUTES}}), folders_and_files(users)},
        {"inherited or explicit alike: a later entry counts",
         owned_by(ADMINS, {{ADMINS, FILE_ALL}, {USERS, rights::READ_AND_EXECUTE}, {AUTHENTICATED, MODIFY}}),
         all_roles("NT AUTHORITY\\Authenticated Users may change it")},
        // The root of a system volume: Authenticated Users may make folders
        // there and own what they make, which is not on the path.
        {"a volume root", owned_by(ADMINS, {{ADMINS, FILE_ALL}, {USERS, rights::READ_AND_EXECUTE},
                                            {AUTHENTICATED, rights::APPEND_DATA},
                                            {AUTHENTICATED, rights::DELETE_ENTRY | rights::WRITE_GENERIC | rights::READ_GENERIC |
                                                                rights::EXECUTE_GENERIC, true},
                                            {CREATOR, rights::ALL_GENERIC, true}}),
         folders_and_files("NT AUTHORITY\\Authenticated Users may change it")},
        {"inherit-only Users generic all: what is dropped inside later",
         owned_by(ADMINS, {{USERS, rights::ALL_GENERIC, true}}), {{ProgramFolder, users}, {DataFolder, users}}},
        // Who creates something inside is decided by the other entries.
        {"CREATOR OWNER generic all where only the trusted may create",
         owned_by(ADMINS, {{ADMINS, FILE_ALL}, {CREATOR, rights::ALL_GENERIC, true}}), {}},
        {"CREATOR OWNER where Users may add files",
         owned_by(ADMINS, {{CREATOR, rights::ALL_GENERIC, true}, {USERS, rights::WRITE_DATA}}),
         folders_and_files(users)},
        {"an entry of a kind files never carry", owned_by(ADMINS, {{Account{"someone"}, 0, false, true}}),
         all_roles("someone may change it: its DACL holds an entry of a kind files never carry")},
        {"POSIX: everyone may add to a sticky folder",
         owned_by(Account{"uid 0", true}, {{Account{"everyone"}, rights::WRITE_DATA | rights::APPEND_DATA}}),
         folders_and_files("everyone may change it")},
    };
    for (const Case& c : cases) {
        for (const TrustRole role : {ProgramFolder, DataFolder, Ancestor, File}) {
            SCOPED_TRACE(std::string(c.label) + ", role " + std::to_string(static_cast<int>(role)));
            const auto wanted = c.unsafe.find(role);
            EXPECT_EQ(who_may_change(role, c.permissions),
                      wanted == c.unsafe.end() ? std::nullopt : std::optional<std::string>(wanted->second));
        }
    }
}

EntryFacts folder(Permissions permissions = owned_by(ADMINS, {})) { return EntryFacts{EntryKind::Folder, std::move(permissions)}; }
EntryFacts file(Permissions permissions = owned_by(ADMINS, {})) { return EntryFacts{EntryKind::File, std::move(permissions)}; }

TEST(FindUnsafe, TheFirstEntryFromTheRootDownThatCannotBeTrustedAndEveryFailedCheck) {
    const std::filesystem::path root = std::filesystem::path("/");
    const std::filesystem::path programs = root / "programs";
    const std::filesystem::path velmor = programs / "velmor";
    const std::filesystem::path library = velmor / "core.dll";
    const std::filesystem::path wintun = velmor / "wintun.dll";
    struct Case {
        const char* label;
        std::map<std::filesystem::path, Result<EntryFacts>> changes;
        bool permissions_kept;
        std::optional<std::string> unsafe;  // "{path}: {reason}"
        std::optional<std::string> cause;
    };
    const Error denied("CreateFileW failed: 5");
    const Case cases[] = {
        {"all safe", {}, true, std::nullopt, std::nullopt},
        {"the files missing: nothing to check yet", {{library, fail("gone")}, {wintun, fail("gone")}}, true, std::nullopt,
         std::nullopt},
        {"the library writable by Users", {{library, file(owned_by(ADMINS, {{USERS, rights::WRITE_DATA}}))}}, true,
         "/programs/velmor/core.dll: BUILTIN\\Users may change it", std::nullopt},
        {"wintun.dll owned by Users", {{wintun, file(owned_by(USERS, {}))}}, true,
         "/programs/velmor/wintun.dll: BUILTIN\\Users, its owner, may change it", std::nullopt},
        {"an ancestor owned by Users", {{programs, folder(owned_by(USERS, {}))}}, true,
         "/programs: BUILTIN\\Users, its owner, may change it", std::nullopt},
        {"an ancestor where Users may delete what is inside",
         {{programs, folder(owned_by(ADMINS, {{USERS, rights::DELETE_CHILD}}))}}, true,
         "/programs: BUILTIN\\Users may change it", std::nullopt},
        {"the nearest problem to the root is named first",
         {{root, folder(owned_by(USERS, {}))}, {library, file(owned_by(USERS, {}))}}, true,
         "/: BUILTIN\\Users, its owner, may change it", std::nullopt},
        {"the program folder lets Users add files", {{velmor, folder(owned_by(ADMINS, {{USERS, rights::WRITE_DATA}}))}},
         true, "/programs/velmor: BUILTIN\\Users may change it", std::nullopt},
        {"a junction on the path", {{programs, EntryFacts{EntryKind::Link, owned_by(ADMINS, {})}}}, true,
         "/programs: it is a link or junction", std::nullopt},
        {"a link in place of the library", {{library, EntryFacts{EntryKind::Link, owned_by(ADMINS, {})}}}, true,
         "/programs/velmor/core.dll: it is a link or junction", std::nullopt},
        {"a folder in place of the library", {{library, folder()}}, true,
         "/programs/velmor/core.dll: it is not a file", std::nullopt},
        {"a file in place of the program folder", {{velmor, file()}}, true, "/programs/velmor: it is not a folder",
         std::nullopt},
        {"permissions not kept: owners are not judged", {{programs, folder(owned_by(USERS, {}))}}, false, std::nullopt,
         std::nullopt},
        {"permissions not kept: links still count", {{programs, EntryFacts{EntryKind::Link, owned_by(ADMINS, {})}}},
         false, "/programs: it is a link or junction", std::nullopt},
        // Fail closed: a check that cannot be made refuses.
        {"the library's descriptor cannot be read", {{library, fail(denied)}}, true,
         "/programs/velmor/core.dll: it cannot be checked", "CreateFileW failed: 5"},
        {"the program folder cannot be read", {{velmor, fail(denied)}}, true,
         "/programs/velmor: it cannot be checked", "CreateFileW failed: 5"},
        {"the root cannot be read, also where permissions are not kept", {{root, fail(denied)}}, false,
         "/: it cannot be checked", "CreateFileW failed: 5"},
        {"an ancestor missing", {{programs, fail("gone")}}, true, "/programs: it cannot be found", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::map<std::filesystem::path, Result<EntryFacts>> entries = {
            {root, folder()}, {programs, folder()}, {velmor, folder()}, {library, file()}, {wintun, file()}};
        for (const auto& [path, facts] : c.changes) entries.insert_or_assign(path, facts);
        const EntryReader reader = [&](const std::filesystem::path& path) -> Result<std::optional<EntryFacts>> {
            const auto found = entries.find(path);
            // "gone" stands for nothing there.
            if (found == entries.end() || (!found->second && found->second.error().message() == "gone"))
                return std::optional<EntryFacts>();
            if (!found->second) return fail(found->second.error());
            return std::optional<EntryFacts>(*found->second);
        };
        const std::optional<Unsafe> unsafe = find_unsafe(velmor, {library, wintun}, reader, c.permissions_kept);
        ASSERT_EQ(unsafe.has_value(), c.unsafe.has_value()) << (unsafe ? unsafe->reason : "");
        if (!unsafe) continue;
        const Error error = unsafe_error("core library", *unsafe);
        EXPECT_EQ(error.message(), "core library is not safe: " + *c.unsafe);
        EXPECT_EQ(error.cause() != nullptr ? std::optional<std::string>(error.cause()->message()) : std::nullopt, c.cause);
    }
}

TEST(DecideProgramTrust, OnlyARecordedAllowanceTurnsARefusalIntoAWarning) {
    const Unsafe unsafe{"/programs/velmor/core.dll", "BUILTIN\\Users may change it", std::nullopt};
    const std::string refusal = "core library is not safe: /programs/velmor/core.dll: BUILTIN\\Users may change it";
    struct Case {
        const char* label;
        std::optional<Unsafe> unsafe;
        Result<bool> allowed;
        bool refused;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {"safe, nothing recorded", std::nullopt, false, false, {}},
        {"safe, the allowance unreadable", std::nullopt, fail("RegGetValueW failed: 5"), false, {}},
        {"unsafe, nothing recorded", unsafe, false, true, {refusal}},
        {"unsafe, allowed at install", unsafe, true, false, {"warning: " + refusal + " (allowed at install)"}},
        // Fail closed: an allowance that cannot be read allows nothing.
        {"unsafe, the allowance unreadable", unsafe, fail("RegGetValueW failed: 5"), true,
         {refusal, "cannot read HKLM\\SOFTWARE\\Velmor\\Helper\\AllowUnsafeFolder: RegGetValueW failed: 5"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testing::LogCapture log;
        const Result<> decided = decide_program_trust("core library", c.unsafe, c.allowed);
        EXPECT_EQ(!decided, c.refused);
        if (!decided) {
            EXPECT_EQ(decided.error().message(), refusal);
        }
        EXPECT_EQ(log.lines(), c.logged);
    }
}

}  // namespace
}  // namespace velmor::trust
