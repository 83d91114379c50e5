#include "base/os_error.hpp"
#include "base/win.hpp"
#include "env/locations_platform.hpp"

namespace velmor::detail {

Result<std::filesystem::path> current_exe() {
    // GetModuleFileNameW truncates silently when the buffer is too small and
    // then returns the buffer's size: grow until the whole path fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return fail(os_error(GetLastError()).context("current_exe"));
        if (n < buffer.size()) {
            buffer.resize(n);
            return std::filesystem::path(std::move(buffer));
        }
        if (buffer.size() >= 32768 * 2) return fail(os_error(ERROR_INSUFFICIENT_BUFFER).context("current_exe"));
        buffer.resize(buffer.size() * 2);
    }
}

std::filesystem::path program_data_base() {
    constexpr const wchar_t* NAME = L"ProgramData";
    SetLastError(ERROR_SUCCESS);
    DWORD needed = GetEnvironmentVariableW(NAME, nullptr, 0);
    if (needed == 0) {
        // Absent; an empty value also reports 0, but without an error.
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::filesystem::path(L"C:\\ProgramData");
        return std::filesystem::path();
    }
    for (;;) {
        std::wstring value(needed, L'\0');
        const DWORD n = GetEnvironmentVariableW(NAME, value.data(), needed);
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::filesystem::path(L"C:\\ProgramData");
            return std::filesystem::path();
        }
        if (n < needed) {
            value.resize(n);
            return std::filesystem::path(std::move(value));
        }
        needed = n;  // changed meanwhile: n is the size now needed
    }
}

}  // namespace velmor::detail
