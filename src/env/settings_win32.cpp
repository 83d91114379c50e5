#include "env/settings_win32.hpp"

#include <algorithm>
#include <cwchar>
#include <vector>

#include "base/os_error.hpp"
#include "base/sized_query.hpp"
#include "env/settings.hpp"
#include "trust/file_trust_win32.hpp"

namespace velmor::settings {
namespace {

// The portable copies of the key rights (settings.hpp) are Windows' own.
static_assert(key_rights::QUERY_VALUE == KEY_QUERY_VALUE);
static_assert(key_rights::SET_VALUE == KEY_SET_VALUE);
static_assert(key_rights::CREATE_SUB_KEY == KEY_CREATE_SUB_KEY);
static_assert(key_rights::ENUMERATE_SUB_KEYS == KEY_ENUMERATE_SUB_KEYS);
static_assert(key_rights::NOTIFY == KEY_NOTIFY);
static_assert(key_rights::CREATE_LINK == KEY_CREATE_LINK);
static_assert(key_rights::WOW64_VIEWS == KEY_WOW64_RES);
static_assert(key_rights::SPECIFIC == SPECIFIC_RIGHTS_ALL);
static_assert(key_rights::READ_SECURITY == READ_CONTROL);
static_assert(key_rights::STANDARD_ALL == STANDARD_RIGHTS_REQUIRED);
static_assert(key_rights::KEY_READING == KEY_READ && key_rights::KEY_READING == KEY_EXECUTE);
static_assert(key_rights::KEY_WRITING == KEY_WRITE);
static_assert(key_rights::KEY_ALL_RIGHTS == KEY_ALL_ACCESS);
static_assert(StoredFlag::FOUND == ERROR_SUCCESS);
static_assert(StoredFlag::NOT_FOUND == ERROR_FILE_NOT_FOUND);
static_assert(StoredFlag::TOO_LONG == ERROR_MORE_DATA);
static_assert(StoredFlag::TEXT == REG_SZ);
static_assert(StoredFlag::NUMBER == REG_DWORD);

Error cannot_check(Error cause) { return Error("cannot check who may change " + std::string(KEY), std::move(cause)); }

// The key, opened for reading and then checked through the same handle, so
// that what is read is what was checked: none when it is not there.
Result<std::optional<unique_hkey>> open_checked_key() {
    HKEY raw = nullptr;
    const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY_PATH, 0, KEY_QUERY_VALUE | READ_CONTROL, &raw);
    if (opened == ERROR_FILE_NOT_FOUND) return std::optional<unique_hkey>();
    if (opened != ERROR_SUCCESS) return fail(cannot_check(call_error("RegOpenKeyExW", static_cast<DWORD>(opened))));
    unique_hkey key(raw);
    if (Result<> checked = check_key(key.get()); !checked) return fail(std::move(checked.error()));
    return std::optional<unique_hkey>(std::move(key));
}

}  // namespace

Result<> check_key(HKEY key) {
    constexpr SECURITY_INFORMATION WANTED = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    auto got = query_sized(
        [key](void* data, DWORD& size) { return RegGetKeySecurity(key, WANTED, data, &size); },
        LSTATUS{ERROR_INSUFFICIENT_BUFFER}, DWORD{512});
    if (got.status != ERROR_SUCCESS)
        return fail(cannot_check(call_error("RegGetKeySecurity", static_cast<DWORD>(got.status))));
    Result<trust::Permissions> permissions = trust::permissions_of(got.data());
    if (!permissions) return fail(cannot_check(std::move(permissions.error())));
    if (std::optional<std::string> who = who_may_change_key(std::move(*permissions)))
        return fail(Error(std::string(KEY) + " is not safe: " + *who));
    return {};
}

Result<std::optional<std::string>> read_text(std::string_view name) {
    Result<std::optional<unique_hkey>> key = open_checked_key();
    if (!key) return fail(std::move(key.error()));
    if (!*key) return std::optional<std::string>();
    const std::wstring value = widen(name);
    const HKEY opened = (*key)->get();
    const auto got = query_sized(
        [&](void* data, DWORD& bytes) {
            return RegGetValueW(opened, nullptr, value.c_str(), RRF_RT_REG_SZ, nullptr, data, &bytes);
        },
        LSTATUS{ERROR_MORE_DATA}, DWORD{256});
    if (got.status == ERROR_FILE_NOT_FOUND) return std::optional<std::string>();
    if (got.status != ERROR_SUCCESS) return fail(call_error("RegGetValueW", static_cast<DWORD>(got.status)));
    const auto* text = static_cast<const wchar_t*>(got.data());
    return std::optional<std::string>(narrow(std::wstring_view(text, wcsnlen(text, got.bytes / sizeof(wchar_t)))));
}

Result<bool> read_flag(std::string_view name) {
    Result<std::optional<unique_hkey>> key = open_checked_key();
    if (!key) return fail(std::move(key.error()));
    if (!*key) return false;
    alignas(DWORD) std::uint8_t data[StoredFlag::FLAG_BUFFER] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    const LSTATUS status = RegGetValueW((*key)->get(), nullptr, widen(name).c_str(), RRF_RT_REG_DWORD | RRF_RT_REG_SZ,
                                        &type, data, &size);
    return flag_is_set({static_cast<std::uint32_t>(status), type, std::span(data, std::min<DWORD>(size, sizeof data))});
}

Result<> set_flag(std::string_view name) {
    HKEY raw = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY_PATH, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                     nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS) return fail(call_error("RegCreateKeyExW", static_cast<DWORD>(status)));
    const unique_hkey key(raw);
    const DWORD one = 1;
    status = RegSetValueExW(key.get(), widen(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                            sizeof one);
    if (status != ERROR_SUCCESS) return fail(call_error("RegSetValueExW", static_cast<DWORD>(status)));
    return {};
}

Result<> remove_value(std::string_view name) {
    const LSTATUS status = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, SETTINGS_KEY_PATH, widen(name).c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return fail(call_error("RegDeleteKeyValueW", static_cast<DWORD>(status)));
    return {};
}

}  // namespace velmor::settings
