// A stand-in for the core library with the real entry points. What a run
// does is chosen by the configuration text it receives:
//   "mode":"run" (or none)  run until clash_shutdown
//   "mode":"exit"           end at once without error ("")
//   "mode":"error"          end at once with "text" (default "fake core failed")
//   "mode":"null"           return null
//   "mode":"bad-utf8"       return "bad \xff\xc0 bytes"
//   "mode":"exit-after"     run until clash_shutdown or for "ms", then ""
//   "mode":"error-after"    run until clash_shutdown or for "ms", then "text"
//   "mode":"stubborn"       ignore clash_shutdown; end after "ms"
//   "mode":"held"           ignore clash_shutdown; end with "text" (default
//                           "") when fake_core_end_held is called
//   "mode":"late"           wait "ms" before listening for clash_shutdown
//                           (requests in that time are lost), then run
//   "mode":"hang-shutdown"  run; clash_shutdown itself blocks until
//                           fake_core_release_shutdown or "ms" passes
// Every clash_start writes its arguments into fake-core-args.txt and the
// configuration into fake-core-config.txt in its working folder; every
// clash_free_string writes the count of freed strings into
// fake-core-freed.txt there.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "fake_core_config.hpp"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using namespace std::chrono;

struct Run {
    bool stop = false;
};

std::mutex g_mutex;
std::condition_variable g_changed;
std::set<Run*> g_listening;          // runs that a shutdown reaches
bool g_release_shutdown = false;
std::string g_last_cwd;
int g_hang_ms = 0;                   // >0 while a hang-shutdown run is active
int g_held_generation = 0;           // raised by fake_core_end_held
std::atomic<int> g_freed{0};
std::atomic<int> g_starts{0};
std::atomic<int> g_shutdowns{0};
std::atomic<int> g_runs_shut_down{0};  // runs that a shutdown reached
std::atomic<int> g_running{0};

using fake_core::member;

FILE* open_in(const std::string& folder, const char* name) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path.push_back('/');
    path += name;
#ifdef _WIN32
    const int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), n);
    return _wfopen(wide.c_str(), L"wb");
#else
    return std::fopen(path.c_str(), "wb");
#endif
}

void write_file(const std::string& folder, const char* name, std::string_view text) {
    if (FILE* f = open_in(folder, name)) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

char* copy_text(std::string_view text) {
    char* out = new char[text.size() + 1];
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return out;
}

// Runs until a shutdown reaches this run or `limit` passes; true when shut down.
bool run_until_shutdown(milliseconds limit) {
    Run run;
    std::unique_lock lock(g_mutex);
    g_listening.insert(&run);
    const bool stopped = g_changed.wait_for(lock, limit, [&] { return run.stop; });
    g_listening.erase(&run);
    return stopped;
}

}  // namespace

#ifndef FAKE_CORE_WITHOUT_START
FAKE_EXPORT char* clash_start(const char* config, const char* log_path, const char* cwd, int flag) {
    const std::string_view text(config);
    const std::string mode = member(text, "mode");
    const milliseconds ms(fake_core::delay_ms(text));
    std::string message = member(text, "text");
    if (message.empty()) message = "fake core failed";

    const int starts = ++g_starts;
    int held_generation = 0;  // before the run counts as running
    {
        std::lock_guard lock(g_mutex);
        g_last_cwd = cwd;
        held_generation = g_held_generation;
    }
    write_file(cwd, "fake-core-config.txt", text);
    write_file(cwd, "fake-core-args.txt",
               "log=" + std::string(log_path) + "\ncwd=" + std::string(cwd) + "\nflag=" + std::to_string(flag) +
                   "\nstarts=" + std::to_string(starts) + "\n");

    ++g_running;
    char* result = nullptr;
    constexpr milliseconds forever = hours(24);
    if (mode == "exit") {
        result = copy_text("");
    } else if (mode == "error") {
        result = copy_text(message);
    } else if (mode == "null") {
        result = nullptr;
    } else if (mode == "bad-utf8") {
        result = copy_text("bad \xff\xc0 bytes");
    } else if (mode == "exit-after") {
        run_until_shutdown(ms);
        result = copy_text("");
    } else if (mode == "error-after") {
        run_until_shutdown(ms);
        result = copy_text(message);
    } else if (mode == "stubborn") {
        std::this_thread::sleep_for(ms);
        result = copy_text("");
    } else if (mode == "held") {
        {
            std::unique_lock lock(g_mutex);
            g_changed.wait(lock, [&] { return g_held_generation != held_generation; });
        }
        result = copy_text(member(text, "text"));
    } else if (mode == "late") {
        std::this_thread::sleep_for(ms);
        run_until_shutdown(forever);
        result = copy_text("");
    } else if (mode == "hang-shutdown") {
        {
            std::lock_guard lock(g_mutex);
            g_hang_ms = ms.count() > 0 ? static_cast<int>(ms.count()) : 24 * 3600 * 1000;
            g_release_shutdown = false;
        }
        run_until_shutdown(forever);
        result = copy_text("");
    } else {
        run_until_shutdown(forever);
        result = copy_text("");
    }
    --g_running;
    return result;
}
#endif

FAKE_EXPORT void clash_shutdown() {
    ++g_shutdowns;
    std::unique_lock lock(g_mutex);
    if (g_hang_ms > 0) {
        g_changed.wait_for(lock, milliseconds(g_hang_ms), [] { return g_release_shutdown; });
        g_hang_ms = 0;
    }
    for (Run* run : g_listening) run->stop = true;
    g_runs_shut_down += static_cast<int>(g_listening.size());
    g_changed.notify_all();
}

FAKE_EXPORT void clash_free_string(char* text) {
    const int freed = ++g_freed;
    delete[] text;
    std::string cwd;
    {
        std::lock_guard lock(g_mutex);
        cwd = g_last_cwd;
    }
    write_file(cwd, "fake-core-freed.txt", std::to_string(freed) + "\n");
}

// Test probes.
FAKE_EXPORT int fake_core_freed_count() { return g_freed.load(); }
FAKE_EXPORT int fake_core_start_count() { return g_starts.load(); }
FAKE_EXPORT int fake_core_shutdown_count() { return g_shutdowns.load(); }
FAKE_EXPORT int fake_core_running() { return g_running.load(); }
FAKE_EXPORT int fake_core_runs_shut_down() { return g_runs_shut_down.load(); }
FAKE_EXPORT void fake_core_end_held() {
    std::lock_guard lock(g_mutex);
    ++g_held_generation;
    g_changed.notify_all();
}
FAKE_EXPORT void fake_core_release_shutdown() {
    std::lock_guard lock(g_mutex);
    g_release_shutdown = true;
    g_changed.notify_all();
}
