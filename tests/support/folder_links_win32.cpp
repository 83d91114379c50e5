#include "support/folder_links_win32.hpp"

#include <chrono>
#include <functional>
#include <thread>

#include "base/win.hpp"

namespace velmor::links {
namespace {

// Under Wine, the Unix name of a Windows path.
std::string unix_path(const std::filesystem::path& path) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unix_name = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name == nullptr) return {};
    char* name = unix_name(std::filesystem::absolute(path).c_str());
    std::string text = name != nullptr ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

// Under Wine, runs a Unix program (Wine starts one through CreateProcessW)
// and waits, since its process handle does not, until `done` holds.
bool run_unix(std::wstring command, const std::function<bool()>& done) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

}  // namespace

bool under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool is_link(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::optional<std::string> make_folder_link(const std::filesystem::path& link, const std::filesystem::path& target) {
    if (!under_wine()) {
        if (CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
            return std::nullopt;
        return "symbolic links cannot be created here (error " + std::to_string(GetLastError()) + ")";
    }
    if (unix_path(target).empty()) return "no Unix names under this Wine";
    if (!run_unix(L"/bin/ln -s \"" + widen(unix_path(target)) + L"\" \"" + widen(unix_path(link)) + L"\"",
                  [&] { return is_link(link); }))
        return "a Unix link could not be made";
    return std::nullopt;
}

void remove_folder_link(const std::filesystem::path& link) {
    if (!is_link(link)) return;
    if (!under_wine()) {
        RemoveDirectoryW(link.c_str());
        return;
    }
    const std::string name = unix_path(link);
    run_unix(L"/bin/rm -f \"" + widen(name) + L"\"", [&] { return !is_link(link); });
}

}  // namespace velmor::links
