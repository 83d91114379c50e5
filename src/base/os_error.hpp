#pragma once
// Operating-system errors as text and as error values.

#include <cstdint>
#include <string>

#include "base/error.hpp"

namespace velmor {

// The system's message for `code`, trailing white space removed, then
// " (os error N)". Thread-safe.
std::string os_error_text(std::uint32_t code);

// An error whose message is os_error_text(code), carrying `code`.
inline Error os_error(std::uint32_t code) { return Error(os_error_text(code)).with_system_code(code); }

// The calling thread's last system error code (GetLastError or errno).
std::uint32_t last_os_error_code();

}  // namespace velmor
