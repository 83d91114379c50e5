#include "base/os_error.hpp"
#include "base/path.hpp"
#include "base/win.hpp"
#include "core/core_library.hpp"

namespace velmor {

std::filesystem::path::string_type core_library_file_name() { return L"clash_ffi.dll"; }

namespace detail {

Result<CoreModule> open_core_library(const std::filesystem::path& path) {
    const std::string shown = path_to_utf8(path);
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return fail(call_error("GetFileAttributesW", GetLastError()).context("core library not found: " + shown));

    // No dialog box for a missing dependency while loading; the previous mode
    // is put back when it was set and differs.
    DWORD previous_mode = 0;
    const bool mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous_mode) != FALSE;
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, 0);
    const DWORD code = module == nullptr ? GetLastError() : 0;
    if (mode_set && previous_mode != SEM_FAILCRITICALERRORS) SetThreadErrorMode(previous_mode, nullptr);

    if (module == nullptr) return fail(call_error("LoadLibraryExW", code).context("load " + shown));
    return CoreModule(reinterpret_cast<void*>(module));
}

void close_core_module(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

Result<GenericFn> find_core_symbol(CoreLibrary library, const char* name) {
    const FARPROC symbol = GetProcAddress(static_cast<HMODULE>(library.module), name);
    if (symbol == nullptr) return fail(call_error("GetProcAddress", GetLastError()));
    return reinterpret_cast<GenericFn>(symbol);
}

}  // namespace detail
}  // namespace velmor
