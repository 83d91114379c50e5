#include "base/path.hpp"

#include "base/text.hpp"

namespace velmor {

std::string path_to_utf8(const std::filesystem::path& path) {
#ifdef _WIN32
    const std::wstring& w = path.native();
    return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(w.data()), w.size()));
#else
    return sanitize_utf8(path.native());
#endif
}

}  // namespace velmor
