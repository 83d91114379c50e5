#include "env/settings.hpp"

namespace velmor::settings {
namespace {

// Key rights, named apart from the Windows macros.
constexpr std::uint32_t QUERY_VALUE = 0x1;
constexpr std::uint32_t SET_VALUE = 0x2;
constexpr std::uint32_t CREATE_SUB_KEY = 0x4;
constexpr std::uint32_t ENUMERATE_SUB_KEYS = 0x8;
constexpr std::uint32_t NOTIFY = 0x10;
constexpr std::uint32_t CREATE_LINK = 0x20;
// Which registry view a call opens: no right at all.
constexpr std::uint32_t WOW64_VIEWS = 0x300;
constexpr std::uint32_t SPECIFIC = 0xFFFF;
constexpr std::uint32_t READ_CONTROL = 0x20000;
constexpr std::uint32_t STANDARD_ALL = 0xF0000;
// KEY_READ (also KEY_EXECUTE), KEY_WRITE and KEY_ALL_ACCESS.
constexpr std::uint32_t KEY_READ = READ_CONTROL | QUERY_VALUE | ENUMERATE_SUB_KEYS | NOTIFY;
constexpr std::uint32_t KEY_WRITE = READ_CONTROL | SET_VALUE | CREATE_SUB_KEY;
constexpr std::uint32_t KEY_ALL = STANDARD_ALL | 0x3F;

}  // namespace

std::uint32_t key_rights_as_file_rights(std::uint32_t key_mask) {
    namespace r = trust::rights;
    std::uint32_t mask = key_mask & ~(r::READ_GENERIC | r::WRITE_GENERIC | r::EXECUTE_GENERIC | r::ALL_GENERIC);
    if ((key_mask & (r::READ_GENERIC | r::EXECUTE_GENERIC)) != 0) mask |= KEY_READ;
    if ((key_mask & r::WRITE_GENERIC) != 0) mask |= KEY_WRITE;
    if ((key_mask & r::ALL_GENERIC) != 0) mask |= KEY_ALL;
    const std::uint32_t specific = mask & SPECIFIC & ~WOW64_VIEWS;
    std::uint32_t file = mask & ~SPECIFIC;
    if ((specific & (QUERY_VALUE | ENUMERATE_SUB_KEYS | NOTIFY)) != 0) file |= r::READ_DATA;
    if ((specific & ~(QUERY_VALUE | ENUMERATE_SUB_KEYS | NOTIFY)) != 0) file |= r::WRITE_DATA;
    return file;
}

std::optional<std::string> who_may_change_key(trust::Permissions permissions) {
    if (permissions.dacl)
        for (trust::AccessEntry& entry : *permissions.dacl) entry.mask = key_rights_as_file_rights(entry.mask);
    return trust::who_may_change(trust::TrustRole::File, permissions);
}

}  // namespace velmor::settings
