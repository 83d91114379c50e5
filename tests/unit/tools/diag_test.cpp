#include "velmor-ctl/diag.hpp"

#include <gtest/gtest.h>

#include <map>

namespace velmor::ctl {
namespace {

// A bundle goes only where nothing a person keeps can be overwritten.
TEST(Diag, FolderIsMadeOrUsedEmptyOrRefused) {
    EXPECT_EQ(bundle_folder_needs_making(FolderFound::Empty, "b"), false);
    for (const FolderFound refused : {FolderFound::NotEmpty, FolderFound::NotAFolder})
        EXPECT_FALSE(bundle_folder_needs_making(refused, "b").has_value());
}

// What reaches a file is escaped; a part that failed says why, never empty.
TEST(Diag, PartTextIsEscapedAndAFailureSaysWhy) {
    EXPECT_EQ(part_file_text(std::string("a\x1b[2J\nb")), "a\\u{1b}[2J\nb\n");
    EXPECT_EQ(part_file_text(fail(Error("cannot open x", Error("\x07")))), "error: cannot open x: \\u{7}\n");
}

// A read that fails, the key's own check among them, is never shown as a
// value that is not set: the helper grants nothing then.
TEST(Diag, SettingsThatCannotBeReadAreNotShownAsUnset) {
    const std::string unsafe = "HKLM\\SOFTWARE\\Velmor\\Helper is not safe: BUILTIN\\Users may change it";
    EXPECT_EQ(settings_text(fail(unsafe), fail(unsafe)),
              "key: HKLM\\SOFTWARE\\Velmor\\Helper\nControlAccess: cannot be read, so the helper lets no client start or stop a "
              "core: " + unsafe + "\nAllowUnsafeFolder: cannot be read, so the helper accepts no unsafe program folder: " + unsafe + "\n");
    EXPECT_EQ(settings_text(std::optional<std::string>("users"), true),
              "key: HKLM\\SOFTWARE\\Velmor\\Helper\nControlAccess: \"users\"\nAllowUnsafeFolder: set\n");
}

// The start's own judgement of the folder, in diag's words; a folder that
// cannot be read is not called safe.
TEST(Diag, DataFolderVerdictSaysWhatAStartWouldDo) {
    using Facts = Result<std::optional<trust::EntryFacts>>;
    const auto line = [](Facts service) {
        const trust::Permissions admins{trust::Account{"BUILTIN\\Administrators", true}, {}};
        const std::map<std::filesystem::path, Facts> found = {
            {"D/V", std::optional(trust::EntryFacts{trust::EntryKind::Folder, admins})}, {"D/V/s", service}};
        const std::string text = data_folder_verdict("D/V/s", [&](const std::filesystem::path& p) { return found.at(p); }, true);
        return text.substr(text.find('\n') + 1);
    };
    EXPECT_EQ(line(fail("CreateFileW failed: 5")), "data folder cannot be checked: D/V/s: CreateFileW failed: 5\n");
    EXPECT_EQ(line(std::optional<trust::EntryFacts>()), "data folder is missing (a start makes it): D/V/s\n");
    EXPECT_EQ(line(std::optional(trust::EntryFacts{trust::EntryKind::Link, {}})),
              "data folder is not safe (a start sets it aside): D/V/s: a link\n");
}

// Only the helper's source, whatever its case; times local, with the offset.
TEST(Diag, EventLinesOfTheHelpersSourceOnly) {
    EventEntry entry{0, 0x40000003, 2, "Velmor-Helper", {"core failed", "x"}};
    EXPECT_EQ(event_line(entry, "velmor-helper", [](std::int64_t) { return 60; }),
              "1970-01-01T01:00:00.0000000+01:00 warning 3: core failed; x");
    entry.source = "other";
    EXPECT_EQ(event_line(entry, "velmor-helper", [](std::int64_t) { return 0; }), std::nullopt);
}

}  // namespace
}  // namespace velmor::ctl
