#include "core/core_library.hpp"

#include <atomic>
#include <string>

#include "base/path.hpp"
#include "base/text.hpp"
#include "core/program_trust.hpp"
#include "env/locations.hpp"

namespace velmor {
namespace {

std::atomic<void*> g_core_module{nullptr};

// Fails with `what`, and the position of the NUL byte as cause, when the
// text holds one: the core would see only what comes before it.
Result<> check_no_nul(const std::string& text, const char* what) {
    if (const std::size_t nul = text.find('\0'); nul != std::string::npos)
        return fail(Error(what, Error("NUL byte at position " + std::to_string(nul))));
    return {};
}

}  // namespace

Result<CoreLibrary> load_core_library() {
    if (void* stored = g_core_module.load(std::memory_order_acquire)) return CoreLibrary{stored};
    Result<std::filesystem::path> folder = exe_dir();
    if (!folder) return fail(std::move(folder.error()));
    // Loaded as SYSTEM: only what nobody else may change.
    if (Result<> trusted = check_core_library_trust(*folder); !trusted) return fail(std::move(trusted.error()));
    Result<CoreModule> opened = detail::open_core_library(join_path(*folder, core_library_file_name()));
    if (!opened) return fail(std::move(opened.error()));
    void* expected = nullptr;
    // The loser's owner releases its load.
    if (!g_core_module.compare_exchange_strong(expected, opened->get(), std::memory_order_acq_rel))
        return CoreLibrary{expected};
    // The process's from now on, never released.
    return CoreLibrary{opened->release()};
}

Result<> run_core(const std::string& config, const std::string& log_path, const std::string& cwd) {
    Result<CoreLibrary> library = load_core_library();
    if (!library) return fail(std::move(library.error()));
    return detail::run_core_in(*library, config, log_path, cwd);
}

void shutdown_core() {
    const Result<CoreLibrary> library = load_core_library();
    if (library) detail::shutdown_core_in(*library);
}

namespace detail {

Result<> run_core_in(CoreLibrary library, const std::string& config, const std::string& log_path,
                     const std::string& cwd) {
    Result<GenericFn> start = find_core_symbol(library, "clash_start");
    if (!start) return fail(std::move(start.error()).context("clash_start symbol"));
    Result<GenericFn> free_string = find_core_symbol(library, "clash_free_string");
    if (!free_string) return fail(std::move(free_string.error()).context("clash_free_string symbol"));

    // The strings are handed over in place (a configuration may be 4 MiB):
    // std::string keeps a NUL after its last byte.
    if (Result<> ok = check_no_nul(config, "config contains NUL"); !ok) return ok;
    if (Result<> ok = check_no_nul(log_path, "log path contains NUL"); !ok) return ok;
    if (Result<> ok = check_no_nul(cwd, "cwd contains NUL"); !ok) return ok;

    // Casts from the generic `void (*)()` are the documented way back to the
    // real type of a looked-up symbol.
    const auto clash_start = reinterpret_cast<ClashStartFn>(*start);
    const auto clash_free_string = reinterpret_cast<ClashFreeStringFn>(*free_string);

    char* result = clash_start(config.c_str(), log_path.c_str(), cwd.c_str(), 1);
    if (result == nullptr) return fail("core panicked (null return from clash_start)");
    std::string text = sanitize_utf8(std::string_view(result));
    clash_free_string(result);
    if (text.empty()) return {};
    return fail(std::move(text));
}

void shutdown_core_in(CoreLibrary library) {
    const Result<GenericFn> shutdown = find_core_symbol(library, "clash_shutdown");
    if (!shutdown) return;
    reinterpret_cast<ClashShutdownFn>(*shutdown)();
}

}  // namespace detail
}  // namespace velmor
