#pragma once
// Operating-system errors as text and as error values.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace velmor {

// The system's message for `code`, trailing white space removed, then
// " (os error N)". Thread-safe.
std::string os_error_text(std::uint32_t code);

// An error whose message is os_error_text(code), carrying `code`.
inline Error os_error(std::uint32_t code) { return Error(os_error_text(code)).with_system_code(code); }

// The calling thread's last system error code (GetLastError or errno).
std::uint32_t last_os_error_code();

// The one way to report a failed system call: "{call} failed: {code}" (the
// code as an unsigned decimal number), carrying `code` as its system_code,
// with os_error(code) as its cause. A call that failed without setting a
// code (0) gives "{call} failed, but system did not report the error".
// Decisions branch on system_code(), never on the text.
Error call_error(std::string_view call, std::uint32_t code);

// call_error for the calling thread's last error. Call it right after the
// failing call, before anything else can change the code.
inline Error last_call_error(std::string_view call) { return call_error(call, last_os_error_code()); }

}  // namespace velmor
