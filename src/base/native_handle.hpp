#pragma once
// The owner of a system handle that a portable header holds: a Windows
// HANDLE (a mutex, a file) or a POSIX file descriptor, closed once with the
// platform's close call. Windows files adopt and read it through
// base/win.hpp (native_handle_of, handle_of).

#include <cstdint>

#include "base/unique_any.hpp"

namespace velmor {

// No handle: INVALID_HANDLE_VALUE on Windows, -1 for a descriptor.
inline constexpr std::intptr_t NATIVE_HANDLE_NONE = -1;

namespace detail {
void close_native_handle(std::intptr_t value);  // CloseHandle or close
}  // namespace detail

using NativeHandle = unique_any<std::intptr_t, detail::close_native_handle, NATIVE_HANDLE_NONE>;

}  // namespace velmor
