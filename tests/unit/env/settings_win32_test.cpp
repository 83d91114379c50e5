// The settings key's check on live descriptors: keys of the test's own, made
// with each descriptor, read back through RegGetKeySecurity as the service
// reads its key. A check that cannot be made refuses too.

#include "env/settings_win32.hpp"

#include <gtest/gtest.h>

// After <windows.h>:
#include <sddl.h>

namespace velmor::settings {
namespace {

constexpr const wchar_t* TEST_KEY = L"Software\\velmor-settings-test";

TEST(CheckKey, OnlyAKeyNobodyElseMayChangeIsTrusted) {
    struct Case {
        const wchar_t* sddl;
        REGSAM access;
        const char* refusal;  // "" trusted
    };
    const std::string unsafe = "HKLM\\SOFTWARE\\Velmor\\Helper is not safe: ";
    const Case cases[] = {
        {L"O:BAD:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)", READ_CONTROL, ""},
        {L"O:BAD:(A;;KA;;;BA)(A;CIIO;KA;;;BU)", READ_CONTROL, ""},
        {L"O:BAD:(A;;KA;;;BA)(A;;KW;;;BU)", READ_CONTROL, "BUILTIN\\Users may change it"},
        {L"O:BAD:(A;;KA;;;BA)(A;;SD;;;BU)", READ_CONTROL, "BUILTIN\\Users may change it"},
        {L"O:BUD:(A;;KA;;;BA)", READ_CONTROL, "BUILTIN\\Users, its owner, may change it"},
        // Fail closed: a descriptor that cannot be read allows nothing.
        {L"O:BAD:(A;;KA;;;SY)(A;;KA;;;BA)", KEY_QUERY_VALUE, "cannot check"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.sddl));
        RegDeleteKeyW(HKEY_CURRENT_USER, TEST_KEY);
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &raw, nullptr));
        const unique_hlocal descriptor(raw);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, raw, FALSE};
        HKEY made = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, TEST_KEY, 0, nullptr, 0, KEY_READ | WRITE_DAC | WRITE_OWNER, &attributes, &made, nullptr),
                  ERROR_SUCCESS);
        // Set again once made: whatever the creation kept, the key now has it.
        const LSTATUS set = RegSetKeySecurity(made, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, raw);
        unique_hkey(made).reset();
        ASSERT_EQ(set, ERROR_SUCCESS);
        HKEY opened = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, TEST_KEY, 0, c.access, &opened), ERROR_SUCCESS);
        const unique_hkey key(opened);
        const Result<> checked = check_key(key.get());
        const std::string found = checked ? "" : checked.error().one_line();
        if (std::string(c.refusal) == "cannot check")
            EXPECT_TRUE(found.starts_with("cannot check who may change HKLM\\SOFTWARE\\Velmor\\Helper: RegGetKeySecurity failed: "))
                << found;
        else
            EXPECT_EQ(found, *c.refusal ? unsafe + c.refusal : "");
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, TEST_KEY);
}

}  // namespace
}  // namespace velmor::settings
