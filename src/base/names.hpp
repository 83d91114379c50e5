#pragma once
// The names that the helper, velmor-ctl and the tests share: one place, so
// that a client can never look for the helper under another name.

#include <filesystem>
#include <string_view>

namespace velmor {

// The service's name in the SCM: the dispatcher table, the handler
// registration, the install commands and the clients that look it up.
inline constexpr wchar_t SERVICE_NAME[] = L"velmor-helper";
inline constexpr std::string_view SERVICE_NAME_TEXT = "velmor-helper";

// The control pipe; its last part is the service's name.
inline constexpr const wchar_t* PIPE_NAME = L"\\\\.\\pipe\\velmor-helper";
inline constexpr std::string_view PIPE_NAME_TEXT = "\\\\.\\pipe\\velmor-helper";

// The Wintun library, next to the executable and copied into the data folder.
inline constexpr std::filesystem::path::value_type WINTUN_NAME[] = {'w', 'i', 'n', 't', 'u', 'n', '.',
                                                                    'd', 'l', 'l', 0};

}  // namespace velmor
