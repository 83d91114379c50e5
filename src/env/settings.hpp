#pragma once
// The helper's own settings under HKLM\SOFTWARE\Velmor\Helper: the
// ControlAccess policy and the AllowUnsafeFolder allowance, which
// administrators write (install, the package, by hand) and the service reads
// before it decides who may start and stop a core and whether an unsafe
// program folder is accepted. The key is trusted only while nobody but
// SYSTEM and the Administrators may change it (the rule of trust::File):
// otherwise every read fails, so that the policy denies and the allowance
// allows nothing. Any thread; nothing is shared.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "base/names.hpp"
#include "trust/file_trust.hpp"

namespace velmor::settings {

// The key as administrators and log lines name it, and its values.
inline constexpr std::string_view KEY = SETTINGS_KEY;
inline constexpr std::string_view CONTROL_ACCESS = CONTROL_ACCESS_VALUE_NAME;
inline constexpr std::string_view ALLOW_UNSAFE_FOLDER = ALLOW_UNSAFE_FOLDER_VALUE_NAME;

// Key rights, named apart from the Windows macros (each checked against
// <windows.h> in settings_win32.cpp).
namespace key_rights {
inline constexpr std::uint32_t QUERY_VALUE = 0x1;
inline constexpr std::uint32_t SET_VALUE = 0x2;
inline constexpr std::uint32_t CREATE_SUB_KEY = 0x4;
inline constexpr std::uint32_t ENUMERATE_SUB_KEYS = 0x8;
inline constexpr std::uint32_t NOTIFY = 0x10;
inline constexpr std::uint32_t CREATE_LINK = 0x20;
// Which registry view a call opens: no right at all.
inline constexpr std::uint32_t WOW64_VIEWS = 0x300;
inline constexpr std::uint32_t SPECIFIC = 0xFFFF;
inline constexpr std::uint32_t READ_SECURITY = 0x20000;
inline constexpr std::uint32_t STANDARD_ALL = 0xF0000;
// KEY_READ (also KEY_EXECUTE), KEY_WRITE and KEY_ALL_ACCESS.
inline constexpr std::uint32_t KEY_READING = READ_SECURITY | QUERY_VALUE | ENUMERATE_SUB_KEYS | NOTIFY;
inline constexpr std::uint32_t KEY_WRITING = READ_SECURITY | SET_VALUE | CREATE_SUB_KEY;
inline constexpr std::uint32_t KEY_ALL_RIGHTS = STANDARD_ALL | 0x3F;
}  // namespace key_rights

// The text of value `name`: none when the key or the value is not there.
// Errors: "cannot check who may change {KEY}" over the failed open or
// descriptor read, "{KEY} is not safe: {who} may change it", or the failed
// RegGetValueW (a value that is not text among them).
Result<std::optional<std::string>> read_text(std::string_view name);

// Whether flag `name` is set: REG_DWORD 1 (install) or REG_SZ "1" (the
// package's property), as flag_is_set decides; false when the key is not
// there. Errors as read_text and flag_is_set.
Result<bool> read_flag(std::string_view name);

// A flag's value as RegGetValueW, restricted to REG_DWORD and REG_SZ and
// given a buffer of FLAG_BUFFER bytes, gave it back: the call's status, the
// value's type and the bytes it wrote. Numbers as Windows defines them (each
// checked against <windows.h> in settings_win32.cpp).
struct StoredFlag {
    static constexpr std::uint32_t FOUND = 0;        // ERROR_SUCCESS
    static constexpr std::uint32_t NOT_FOUND = 2;    // ERROR_FILE_NOT_FOUND
    static constexpr std::uint32_t TOO_LONG = 234;   // ERROR_MORE_DATA
    static constexpr std::uint32_t TEXT = 1;         // REG_SZ
    static constexpr std::uint32_t NUMBER = 4;       // REG_DWORD, little-endian
    static constexpr std::size_t FLAG_BUFFER = 16;

    std::uint32_t status = FOUND;
    std::uint32_t type = 0;
    std::span<const std::uint8_t> data;
};

// Whether a stored flag is set: only a 4-byte number 1 or the text "1" (up to
// its first NUL, with or without one). A value not there, one longer than the
// buffer or of another type is not set; any other failed read is
// "RegGetValueW failed: {status}".
Result<bool> flag_is_set(const StoredFlag& stored);

// Sets flag `name` to REG_DWORD 1, making the key if needed. Install's main
// thread.
Result<> set_flag(std::string_view name);

// Removes value `name`, whatever its type; one that is not there is no error.
Result<> remove_value(std::string_view name);

// The file rights that a registry key's access mask stands for, as
// trust::who_may_change weighs them: querying, listing and watching are
// reading; setting a value and making a subkey or a link are writing; the
// standard rights stay; generic rights are mapped as keys map them; a bit keys
// do not define counts as writing.
std::uint32_t key_rights_as_file_rights(std::uint32_t key_mask);

// Why someone other than SYSTEM and the Administrators may change a key with
// these permissions (masks in key rights), or none. Inherit-only entries
// reach only subkeys, which the helper never reads.
std::optional<std::string> who_may_change_key(trust::Permissions permissions);

}  // namespace velmor::settings
