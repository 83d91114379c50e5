// Who may change the settings key, weighed by the trust rule for files once
// each key right is read as the file right it stands for. Every way the key
// can be opened to others must refuse, since the policy and the allowance
// are taken from it.

#include "env/settings.hpp"

#include <gtest/gtest.h>

namespace velmor::settings {
namespace {

using trust::Account;
using trust::AccessEntry;
using trust::Permissions;

const Account ADMINS{"BUILTIN\\Administrators", true};
const Account SYSTEM{"NT AUTHORITY\\SYSTEM", true};
const Account USERS{"BUILTIN\\Users", false};

TEST(WhoMayChangeKey, OnlyReadingIsLeftToOthers) {
    struct Case {
        const char* label;
        Permissions permissions;
        const char* verdict;  // "" safe
    };
    const auto users = [](std::uint32_t mask, bool inherit_only = false) {
        return Permissions{ADMINS, std::vector<AccessEntry>{{SYSTEM, 0xF003F}, {ADMINS, 0xF003F}, {USERS, mask, inherit_only}}};
    };
    const Case cases[] = {
        // What HKLM\SOFTWARE gives its new subkeys.
        {"KEY_READ", users(0x20019), ""},
        {"KEY_NOTIFY alone (a file's write-EA bit)", users(0x10), ""},
        {"KEY_ENUMERATE_SUB_KEYS alone (a file's read-EA bit)", users(0x8), ""},
        {"KEY_QUERY_VALUE with a view flag", users(0x1 | 0x100), ""},
        {"GENERIC_READ", users(0x80000000), ""},
        {"GENERIC_EXECUTE", users(0x20000000), ""},
        {"inherit-only full control: subkeys only", users(0xF003F, true), ""},
        {"KEY_SET_VALUE", users(0x2), "BUILTIN\\Users may change it"},
        {"KEY_CREATE_SUB_KEY", users(0x4), "BUILTIN\\Users may change it"},
        {"KEY_CREATE_LINK (a file's execute bit)", users(0x20), "BUILTIN\\Users may change it"},
        {"KEY_WRITE", users(0x20006), "BUILTIN\\Users may change it"},
        {"KEY_ALL_ACCESS", users(0xF003F), "BUILTIN\\Users may change it"},
        {"GENERIC_WRITE", users(0x40000000), "BUILTIN\\Users may change it"},
        {"GENERIC_ALL", users(0x10000000), "BUILTIN\\Users may change it"},
        {"DELETE", users(0x10000), "BUILTIN\\Users may change it"},
        {"WRITE_DAC", users(0x40000), "BUILTIN\\Users may change it"},
        {"WRITE_OWNER", users(0x80000), "BUILTIN\\Users may change it"},
        {"a bit keys do not define", users(0x40), "BUILTIN\\Users may change it"},
        {"ACCESS_SYSTEM_SECURITY", users(0x1000000), "BUILTIN\\Users may change it"},
        {"owned by Users", {USERS, std::vector<AccessEntry>{}}, "BUILTIN\\Users, its owner, may change it"},
        {"no owner", {std::nullopt, std::vector<AccessEntry>{}}, "anyone may change it: it has no owner"},
        {"no DACL", {ADMINS, std::nullopt}, "everyone may change it: it has no DACL"},
        {"an object entry", {ADMINS, std::vector<AccessEntry>{{Account{"someone"}, 0, false, true}}},
         "someone may change it: its DACL holds an entry of a kind files never carry"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(who_may_change_key(c.permissions).value_or(""), c.verdict);
    }
}

TEST(FlagIsSet, OnlyNumberOneOrTextOne) {
    using S = StoredFlag;
    const struct {
        std::uint32_t status, type;
        std::vector<std::uint8_t> data;
        const char* verdict;  // "set", "unset" or the error
    } cases[] = {
        {S::FOUND, S::NUMBER, {1, 0, 0, 0}, "set"},
        {S::FOUND, S::NUMBER, {1, 1, 0, 0}, "unset"},
        {S::FOUND, S::TEXT, {'1', 0, 0, 0}, "set"},
        {S::FOUND, S::TEXT, {'1', 0}, "set"},  // no NUL
        {S::FOUND, S::TEXT, {'1', 0, '1', 0, 0, 0}, "unset"},
        {S::FOUND, 3, {1, 0, 0, 0}, "unset"},     // REG_BINARY
        {S::TOO_LONG, S::TEXT, {}, "unset"},      // longer than the buffer
        {S::NOT_FOUND, 0, {}, "unset"},
        {1630, 0, {}, "RegGetValueW failed: 1630"},  // fail closed: another type the call refused
    };
    for (const auto& c : cases) {
        const Result<bool> set = flag_is_set({c.status, c.type, c.data});
        EXPECT_EQ(set ? (*set ? "set" : "unset") : set.error().message(), c.verdict) << &c - cases;
    }
}

}  // namespace
}  // namespace velmor::settings
