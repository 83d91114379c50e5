#include "env/settings.hpp"

#include "base/os_error.hpp"

namespace velmor::settings {
namespace {

using namespace key_rights;

}  // namespace

Result<bool> flag_is_set(const StoredFlag& stored) {
    if (stored.status == StoredFlag::NOT_FOUND || stored.status == StoredFlag::TOO_LONG) return false;
    if (stored.status != StoredFlag::FOUND) return fail(call_error("RegGetValueW", stored.status));
    const std::span<const std::uint8_t> data = stored.data;
    if (stored.type == StoredFlag::NUMBER)
        return data.size() == 4 && data[0] == 1 && data[1] == 0 && data[2] == 0 && data[3] == 0;
    if (stored.type != StoredFlag::TEXT) return false;
    // UTF-16LE: "1" is 0x31 0x00, then the end, a NUL or anything after a NUL.
    return data.size() >= 2 && data[0] == '1' && data[1] == 0 &&
           (data.size() < 4 || (data[2] == 0 && data[3] == 0));
}

std::uint32_t key_rights_as_file_rights(std::uint32_t key_mask) {
    namespace r = trust::rights;
    std::uint32_t mask = key_mask & ~(r::READ_GENERIC | r::WRITE_GENERIC | r::EXECUTE_GENERIC | r::ALL_GENERIC);
    if ((key_mask & (r::READ_GENERIC | r::EXECUTE_GENERIC)) != 0) mask |= KEY_READING;
    if ((key_mask & r::WRITE_GENERIC) != 0) mask |= KEY_WRITING;
    if ((key_mask & r::ALL_GENERIC) != 0) mask |= KEY_ALL_RIGHTS;
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
