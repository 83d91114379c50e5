// hostile-clients KIND THREADS SECONDS: THREADS clients of the helper's pipe
// in this one process, for SECONDS; prints how many connections they got.
// A local user needs nothing more.
//   silent: connect, never write, and connect again the moment the helper
//           lets go, trying to hold every instance;
//   flood:  connect again and again, each time as bad for the log as can be:
//           1 KiB of DEL in an id (six bytes each when escaped), invalid
//           UTF-8, closing at once, closing mid-line.

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/win.hpp"
#include "base/names.hpp"

namespace {

constexpr const wchar_t* PIPE = velmor::PIPE_NAME;

velmor::unique_handle connect() {
    velmor::unique_handle pipe = velmor::adopt_file_handle(
        CreateFileW(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) WaitNamedPipeW(PIPE, 50);
    return pipe;
}

void write(HANDLE pipe, std::string_view bytes) {
    DWORD n = 0;
    WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 87;
    const std::wstring_view kind = argv[1];
    if (kind != L"silent" && kind != L"flood") return 87;
    const auto threads = std::wcstoul(argv[2], nullptr, 10);
    const DWORD until = GetTickCount() + static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) * 1000;
    const std::string escaped_kib = "{\"id\":\"" + std::string(1024, '\x7f') + "\"\n";
    std::atomic<unsigned long> connections{0};
    std::vector<std::thread> clients;
    for (unsigned long t = 0; t < threads; ++t) {
        clients.emplace_back([&, t] {
            for (unsigned long i = t * 2; static_cast<LONG>(until - GetTickCount()) > 0; ++i) {
                const velmor::unique_handle pipe = connect();
                if (!pipe) continue;
                ++connections;
                if (kind == L"silent") {
                    char byte = 0;
                    DWORD n = 0;
                    ReadFile(pipe.get(), &byte, 1, &n, nullptr);  // returns when the helper lets go
                    continue;
                }
                switch (i % 4) {
                    case 0: write(pipe.get(), escaped_kib); break;
                    case 1: write(pipe.get(), "{\"id\":\"\xff\",\"action\":\"ping\"}\n"); break;
                    case 2: break;
                    case 3: write(pipe.get(), "{\"id\":\"x\",\"act"); break;
                }
            }
        });
    }
    for (std::thread& client : clients) client.join();
    std::printf("%lu\n", connections.load());
    return 0;
}
