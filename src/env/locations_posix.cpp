#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/os_error.hpp"
#include "env/locations_platform.hpp"

namespace velmor::detail {

Result<std::filesystem::path> current_exe() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return fail(os_error(static_cast<std::uint32_t>(errno)).context("current_exe"));
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return std::filesystem::path(std::move(buffer));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::filesystem::path program_data_base() {
    const char* value = std::getenv("ProgramData");
    if (value == nullptr) return std::filesystem::path("/var/lib");
    return std::filesystem::path(value);
}

}  // namespace velmor::detail
