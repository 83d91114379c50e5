// silent-clients THREADS SECONDS: THREADS clients of the helper's pipe that
// connect, never write, and connect again the moment they are let go, for
// SECONDS; prints how many connections they got. A local user needs nothing
// more to try to hold every instance of the pipe.

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <thread>
#include <vector>

#include "base/win.hpp"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 87;
    const auto threads = std::wcstoul(argv[1], nullptr, 10);
    const DWORD until = GetTickCount() + static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) * 1000;
    std::atomic<unsigned long> connections{0};
    std::vector<std::thread> clients;
    for (unsigned long i = 0; i < threads; ++i) {
        clients.emplace_back([&] {
            while (static_cast<LONG>(until - GetTickCount()) > 0) {
                const velmor::unique_handle pipe = velmor::adopt_file_handle(CreateFileW(
                    L"\\\\.\\pipe\\velmor-helper", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
                if (!pipe) {
                    WaitNamedPipeW(L"\\\\.\\pipe\\velmor-helper", 50);
                    continue;
                }
                ++connections;
                char byte = 0;
                DWORD n = 0;
                ReadFile(pipe.get(), &byte, 1, &n, nullptr);  // returns when the helper lets go
            }
        });
    }
    for (std::thread& client : clients) client.join();
    std::printf("%lu\n", connections.load());
    return 0;
}
