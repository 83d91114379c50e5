#include "base/os_error.hpp"
#include "base/win.hpp"
#include "core/program_trust.hpp"

namespace velmor {

Result<bool> read_unsafe_folder_allowance() {
    // REG_DWORD 1 from the install command, REG_SZ "1" from the package's
    // ALLOWUNSAFEFOLDER property (another text, empty when it was not set,
    // allows nothing).
    alignas(DWORD) BYTE data[16] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmor\\Helper", L"AllowUnsafeFolder",
                                        RRF_RT_REG_DWORD | RRF_RT_REG_SZ, &type, data, &size);
    if (status == ERROR_FILE_NOT_FOUND) return false;
    if (status == ERROR_MORE_DATA) return false;  // a longer text than "1"
    if (status != ERROR_SUCCESS) return fail(call_error("RegGetValueW", static_cast<DWORD>(status)));
    if (type == REG_DWORD) return *reinterpret_cast<const DWORD*>(data) == 1;
    return std::wstring_view(reinterpret_cast<const wchar_t*>(data)) == L"1";
}

}  // namespace velmor
