#pragma once
// The one place that includes <windows.h>, with the settings every file needs,
// and the owners of the handle kinds the helper uses.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // Windows 10
#include <windows.h>
// After <windows.h>:
#include <shellapi.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/native_handle.hpp"
#include "base/text.hpp"

namespace velmor {

namespace detail {
inline void close_handle(HANDLE h) { ::CloseHandle(h); }
inline void local_free(HLOCAL h) { ::LocalFree(h); }
inline void free_library(HMODULE h) { ::FreeLibrary(h); }
inline void close_service_handle(SC_HANDLE h) { ::CloseServiceHandle(h); }
inline void close_key(HKEY h) { ::RegCloseKey(h); }
}  // namespace detail

using unique_handle = unique_any<HANDLE, detail::close_handle>;  // null when empty
using unique_hlocal = unique_any<HLOCAL, detail::local_free>;
using unique_hmodule = unique_any<HMODULE, detail::free_library>;
using unique_schandle = unique_any<SC_HANDLE, detail::close_service_handle>;
using unique_hkey = unique_any<HKEY, detail::close_key>;

// File handles use INVALID_HANDLE_VALUE for "none"; this owner normalises
// that to null so that one owner type serves both conventions.
inline unique_handle adopt_file_handle(HANDLE h) {
    return unique_handle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

// A HANDLE for a portable owner; null and INVALID_HANDLE_VALUE both mean none.
inline NativeHandle native_handle_of(HANDLE h) {
    return NativeHandle(h == nullptr ? NATIVE_HANDLE_NONE : reinterpret_cast<std::intptr_t>(h));
}
inline HANDLE handle_of(const NativeHandle& owner) { return reinterpret_cast<HANDLE>(owner.get()); }

inline std::wstring widen(std::string_view utf8) {
    const std::u16string u16 = utf8_to_utf16(utf8);
    return std::wstring(u16.begin(), u16.end());
}

inline std::string narrow(std::wstring_view wide) {
    return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

// The process's wide command line, split by the standard Windows rules.
inline std::vector<std::wstring> command_line_arguments() {
    std::vector<std::wstring> args;
    int count = 0;
    unique_hlocal owner(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!owner) return args;
    LPWSTR* argv = static_cast<LPWSTR*>(owner.get());
    for (int i = 0; i < count; ++i) args.emplace_back(argv[i]);
    return args;
}

}  // namespace velmor
