#pragma once
// Paths in the platform's own encoding: UTF-16 on Windows, bytes elsewhere.

#include <filesystem>
#include <string>

namespace velmor {

using PathString = std::filesystem::path::string_type;
using PathChar = PathString::value_type;

#ifdef _WIN32
inline constexpr PathChar PATH_SEPARATOR = L'\\';
inline bool is_path_separator(PathChar c) { return c == L'\\' || c == L'/'; }
#else
inline constexpr PathChar PATH_SEPARATOR = '/';
inline bool is_path_separator(PathChar c) { return c == '/'; }
#endif

// `folder`, then `name`, with one separator between them unless the folder
// is empty or already ends in one.
inline std::filesystem::path join_path(const std::filesystem::path& folder, const PathString& name) {
    PathString joined = folder.native();
    if (!joined.empty() && !is_path_separator(joined.back())) joined.push_back(PATH_SEPARATOR);
    joined += name;
    return std::filesystem::path(std::move(joined));
}

// The path as UTF-8 text; invalid parts become U+FFFD.
std::string path_to_utf8(const std::filesystem::path& path);

}  // namespace velmor
