#include "base/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace velmor {

std::string os_error_text(std::uint32_t code) {
    char buffer[256] = {};
    // GNU strerror_r returns the text, which may or may not be in the buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    std::string message = text != nullptr ? text : "Unknown error";
    while (!message.empty() && (message.back() == ' ' || message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '\t'))
        message.pop_back();
    return message + " (os error " + std::to_string(code) + ")";
}

std::uint32_t last_os_error_code() { return static_cast<std::uint32_t>(errno); }

}  // namespace velmor
