// send-ctrl-c PID: sends Ctrl+C to the console of process PID, as a user
// pressing it in that window would. The console's own processes all get it;
// this one ignores it. Exit status 0 when sent, else the system error.

#include <cwchar>

#include "base/win.hpp"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 87;
    const auto pid = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    FreeConsole();
    if (!AttachConsole(pid)) return static_cast<int>(GetLastError());
    SetConsoleCtrlHandler(nullptr, TRUE);
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return static_cast<int>(GetLastError());
    return 0;
}
