#pragma once
// Folder links for tests, on Windows and under Wine. Wine cannot make Windows
// links, but shows a Unix symbolic link as a reparse point, so under Wine the
// link is made with /bin/ln.

#include <filesystem>
#include <optional>
#include <string>

namespace velmor::links {

bool under_wine();

// True when `path` is a reparse point (a link or junction).
bool is_link(const std::filesystem::path& path);

// Makes a link at `link` to the folder `target`; the reason when it cannot.
std::optional<std::string> make_folder_link(const std::filesystem::path& link, const std::filesystem::path& target);

// Removes a link that make_folder_link made, never what it points to (Wine
// itself would follow it).
void remove_folder_link(const std::filesystem::path& link);

}  // namespace velmor::links
