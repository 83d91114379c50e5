#pragma once
// The names that the helper, velmor-ctl, the installer and the tests share:
// one place, so that a client can never look for the helper under another
// name. Each is spelled once; its wide form and the names made from it
// (the pipe, the log file, the settings values) are derived here at compile
// time.

#include <array>
#include <cstddef>
#include <filesystem>
#include <string_view>

namespace velmor {

// A name fixed at compile time, NUL-terminated, in characters of type Char.
template <typename Char, std::size_t N>
struct FixedName {
    std::array<Char, N> chars{};  // the last one is the terminating NUL

    constexpr const Char* c_str() const { return chars.data(); }
    constexpr std::basic_string_view<Char> view() const { return {chars.data(), N - 1}; }
    constexpr operator std::basic_string_view<Char>() const { return view(); }
};

// The name of a literal; only ASCII, so that every character type holds it
// unchanged.
template <std::size_t N>
consteval FixedName<char, N> fixed_name(const char (&text)[N]) {
    FixedName<char, N> name;
    for (std::size_t i = 0; i < N; ++i) {
        if (static_cast<unsigned char>(text[i]) > 0x7f) throw "a shared name is ASCII";
        name.chars[i] = text[i];
    }
    return name;
}

// `a` followed by `b`.
template <std::size_t A, std::size_t B>
consteval FixedName<char, A + B - 1> operator+(const FixedName<char, A>& a, const FixedName<char, B>& b) {
    FixedName<char, A + B - 1> joined;
    for (std::size_t i = 0; i + 1 < A; ++i) joined.chars[i] = a.chars[i];
    for (std::size_t i = 0; i < B; ++i) joined.chars[A - 1 + i] = b.chars[i];
    return joined;
}

// The same name in characters of type Char (wchar_t for Windows calls).
template <typename Char, std::size_t N>
consteval FixedName<Char, N> name_in(const FixedName<char, N>& name) {
    FixedName<Char, N> converted;
    for (std::size_t i = 0; i < N; ++i) converted.chars[i] = static_cast<Char>(name.chars[i]);
    return converted;
}

namespace names {
inline constexpr auto SERVICE = fixed_name("velmor-helper");
inline constexpr auto PIPE = fixed_name("\\\\.\\pipe\\") + SERVICE;
inline constexpr auto EXECUTABLE = SERVICE + fixed_name(".exe");
inline constexpr auto LOG_FILE = SERVICE + fixed_name(".log");
inline constexpr auto OLD_LOG_FILE = LOG_FILE + fixed_name(".1");
inline constexpr auto WINTUN = fixed_name("wintun.dll");
inline constexpr auto SETTINGS_PATH = fixed_name("SOFTWARE\\Velmor\\Helper");
inline constexpr auto SETTINGS_KEY = fixed_name("HKLM\\") + SETTINGS_PATH;
inline constexpr auto CONTROL_ACCESS = fixed_name("ControlAccess");
inline constexpr auto ALLOW_UNSAFE_FOLDER = fixed_name("AllowUnsafeFolder");
inline constexpr auto EVENT_LOG = fixed_name("Velmor");
inline constexpr auto EVENT_LOG_PATH = fixed_name("SYSTEM\\CurrentControlSet\\Services\\EventLog\\") + EVENT_LOG;
inline constexpr auto OLD_EVENT_LOG_PATH = fixed_name("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application");

inline constexpr auto SERVICE_WIDE = name_in<wchar_t>(SERVICE);
inline constexpr auto PIPE_WIDE = name_in<wchar_t>(PIPE);
inline constexpr auto EXECUTABLE_WIDE = name_in<wchar_t>(EXECUTABLE);
inline constexpr auto LOG_FILE_WIDE = name_in<wchar_t>(LOG_FILE);
inline constexpr auto SETTINGS_PATH_WIDE = name_in<wchar_t>(SETTINGS_PATH);
inline constexpr auto WINTUN_PATH = name_in<std::filesystem::path::value_type>(WINTUN);
inline constexpr auto EVENT_LOG_KEY = name_in<wchar_t>(EVENT_LOG_PATH);
inline constexpr auto EVENT_SOURCE_KEY = name_in<wchar_t>(EVENT_LOG_PATH + fixed_name("\\") + SERVICE);
inline constexpr auto OLD_EVENT_SOURCE_KEY = name_in<wchar_t>(OLD_EVENT_LOG_PATH + fixed_name("\\") + SERVICE);
inline constexpr auto CONTROL_ACCESS_VALUE = SETTINGS_KEY + fixed_name("\\") + CONTROL_ACCESS;
inline constexpr auto UNSAFE_FOLDER_ALLOWANCE = SETTINGS_KEY + fixed_name("\\") + ALLOW_UNSAFE_FOLDER;
}  // namespace names

// The service's name in the SCM: the dispatcher table, the handler
// registration, the install commands and the clients that look it up. It is
// also the event source's name.
inline constexpr const wchar_t* SERVICE_NAME = names::SERVICE_WIDE.c_str();
inline constexpr std::string_view SERVICE_NAME_TEXT = names::SERVICE;

// The control pipe; its last part is the service's name.
inline constexpr const wchar_t* PIPE_NAME = names::PIPE_WIDE.c_str();
inline constexpr std::string_view PIPE_NAME_TEXT = names::PIPE;

// The executable, and its log file next to it (console) or in the data
// folder (service); the log goes to OLD_LOG_FILE_NAME when it passes the
// size cap.
inline constexpr std::string_view EXECUTABLE_NAME = names::EXECUTABLE;
inline constexpr const wchar_t* EXECUTABLE_NAME_WIDE = names::EXECUTABLE_WIDE.c_str();
inline constexpr std::string_view LOG_FILE_NAME = names::LOG_FILE;
inline constexpr const wchar_t* LOG_FILE_NAME_WIDE = names::LOG_FILE_WIDE.c_str();
inline constexpr std::string_view OLD_LOG_FILE_NAME = names::OLD_LOG_FILE;

// The Wintun library, next to the executable and copied into the data folder.
inline constexpr const std::filesystem::path::value_type* WINTUN_NAME = names::WINTUN_PATH.c_str();

// The helper's settings key under HKEY_LOCAL_MACHINE (SETTINGS_KEY_PATH),
// as administrators and log lines name it (SETTINGS_KEY), and its values.
inline constexpr const wchar_t* SETTINGS_KEY_PATH = names::SETTINGS_PATH_WIDE.c_str();
inline constexpr std::string_view SETTINGS_KEY = names::SETTINGS_KEY;
inline constexpr std::string_view CONTROL_ACCESS_VALUE_NAME = names::CONTROL_ACCESS;
inline constexpr std::string_view ALLOW_UNSAFE_FOLDER_VALUE_NAME = names::ALLOW_UNSAFE_FOLDER;
// The ControlAccess policy and the --allow-unsafe-folder record (REG_DWORD
// 1), as administrators and log lines name them.
inline constexpr std::string_view CONTROL_ACCESS_VALUE = names::CONTROL_ACCESS_VALUE;
inline constexpr std::string_view UNSAFE_FOLDER_ALLOWANCE = names::UNSAFE_FOLDER_ALLOWANCE;

// The event source (the service's name) in the helper's own event log
// "Velmor", and where earlier versions registered the source.
inline constexpr std::string_view EVENT_SOURCE = names::SERVICE;
inline constexpr const wchar_t* EVENT_LOG_KEY = names::EVENT_LOG_KEY.c_str();
inline constexpr const wchar_t* EVENT_SOURCE_KEY = names::EVENT_SOURCE_KEY.c_str();
inline constexpr const wchar_t* OLD_EVENT_SOURCE_KEY = names::OLD_EVENT_SOURCE_KEY.c_str();

}  // namespace velmor
