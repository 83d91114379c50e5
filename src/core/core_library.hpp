#pragma once
// The binding to the core library, the one place that touches it.
//
// The library is loaded once per process from the executable's folder and
// stays loaded until the process ends. Its file name is "clash_ffi.dll" on
// Windows and "libclash_ffi.so" elsewhere (the native build runs the fake
// core under the sanitizers).

#include <filesystem>
#include <string_view>

#include "base/error.hpp"
#include "base/unique_any.hpp"

namespace velmor {

// The core library's file name in the executable's folder.
std::filesystem::path::string_type core_library_file_name();

// The entry points, as the helper calls them (C calling convention).
extern "C" {
// Runs a core on the calling thread until it ends. Returns a string owned by
// the library ("" for a clean end, otherwise an error text), or null when the
// core failed inside the library.
using ClashStartFn = char* (*)(const char* config, const char* log_path, const char* cwd, int flag);
// Makes a running clash_start return; harmless when no core runs.
using ClashShutdownFn = void (*)();
// Releases a string returned by clash_start.
using ClashFreeStringFn = void (*)(char* text);
}

namespace detail {
void close_core_module(void* module);  // FreeLibrary or dlclose
}  // namespace detail

// A library loaded here, released once when its owner goes.
using CoreModule = unique_any<void*, detail::close_core_module>;

// A loaded library that someone else owns (the process's, which stays
// loaded until the process ends); an opaque module handle.
struct CoreLibrary {
    void* module = nullptr;
};

// The process's core library, loaded on first success; a failed load leaves
// nothing behind so the next call tries again. Any thread; when two load at
// once the first stored handle wins and the other is released.
// Before each load the program folder and what SYSTEM uses in it are checked
// (check_core_library_trust). Errors: those of exe_dir unchanged, "core
// library is not safe: {path}: {reason}", "core library not found: {path}"
// (cause: the failed call and the system's error), "load {path}" (cause: the
// loader's error with the system's).
Result<CoreLibrary> load_core_library();

// Runs one core through the process's library: blocks for the core's whole
// life. Called on a core thread, with no lock held. Errors: those of
// load_core_library, "clash_start symbol", "clash_free_string symbol",
// "config contains NUL", "log path contains NUL", "cwd contains NUL",
// "core panicked (null return from clash_start)", or the core's own text.
Result<> run_core(const std::string& config, const std::string& log_path, const std::string& cwd);

// Asks a running core to end. Reports nothing: without the library or its
// "clash_shutdown" nothing is called. Any thread; may block as long as the
// library's call does.
void shutdown_core();

namespace detail {

// The steps above for a given library, without the process-wide slot.
Result<CoreModule> open_core_library(const std::filesystem::path& path);
Result<> run_core_in(CoreLibrary library, const std::string& config, const std::string& log_path,
                     const std::string& cwd);
void shutdown_core_in(CoreLibrary library);

// A symbol of the library as a generic function pointer, or an error named
// after the failed system call (with the system error as cause when known).
using GenericFn = void (*)();
Result<GenericFn> find_core_symbol(CoreLibrary library, const char* name);

}  // namespace detail
}  // namespace velmor
