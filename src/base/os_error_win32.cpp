#include "base/os_error.hpp"

#include "base/text.hpp"
#include "base/win.hpp"

namespace velmor {

std::string os_error_text(std::uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    unique_hlocal owner(buffer);
    std::string message;
    if (length != 0 && buffer != nullptr) {
        message = utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
        while (!message.empty() &&
               (message.back() == ' ' || message.back() == '\r' || message.back() == '\n' ||
                message.back() == '\t'))
            message.pop_back();
    }
    if (message.empty()) message = "Unknown error";
    return message + " (os error " + std::to_string(code) + ")";
}

std::uint32_t last_os_error_code() { return GetLastError(); }

}  // namespace velmor
