// A demonstration core library: lets a person try the helper without the
// real core. clash_start checks that its configuration is JSON, then writes a
// line with a counter to the core log file every second until clash_shutdown
// is called.

#include <rapidjson/document.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#define DEMO_EXPORT extern "C" __declspec(dllexport)

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
int g_active = 0;          // running clash_start calls
unsigned g_shutdowns = 0;  // shutdown requests so far

char* copy_text(const std::string& text) {
    char* out = new char[text.size() + 1];
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

std::wstring widen(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
}

void append_line(const std::wstring& path, const std::string& line) {
    if (FILE* f = _wfopen(path.c_str(), L"ab")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

}  // namespace

DEMO_EXPORT char* clash_start(const char* config, const char* log_path, const char* cwd, int) {
    rapidjson::Document document;
    document.Parse(config);
    if (document.HasParseError()) return copy_text("demo core: config is not JSON");

    const std::wstring log = widen(log_path);
    append_line(log, std::string("demo core: started in ") + cwd + "\n");

    std::unique_lock lock(g_mutex);
    const unsigned seen = g_shutdowns;
    ++g_active;
    for (unsigned long tick = 1;; ++tick) {
        if (g_changed.wait_for(lock, std::chrono::seconds(1), [&] { return g_shutdowns != seen; })) break;
        lock.unlock();
        append_line(log, "demo core: tick " + std::to_string(tick) + "\n");
        lock.lock();
    }
    --g_active;
    lock.unlock();
    append_line(log, "demo core: stopped\n");
    return copy_text("");
}

DEMO_EXPORT void clash_shutdown() {
    {
        std::lock_guard lock(g_mutex);
        if (g_active == 0) return;
        ++g_shutdowns;
    }
    g_changed.notify_all();
}

DEMO_EXPORT void clash_free_string(char* text) { delete[] text; }
