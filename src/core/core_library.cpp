#include "core/core_library.hpp"

#include <atomic>
#include <string>

#include "base/path.hpp"
#include "base/text.hpp"
#include "env/locations.hpp"

namespace velmor {
namespace {

std::atomic<void*> g_core_module{nullptr};

// The text as a NUL-terminated string, or `what` with the position of an
// embedded NUL byte as cause.
Result<std::string> c_string(std::string_view text, const char* what) {
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos)
        return fail(Error(what, Error("NUL byte at position " + std::to_string(nul))));
    return std::string(text);
}

}  // namespace

Result<CoreLibrary> load_core_library() {
    if (void* stored = g_core_module.load(std::memory_order_acquire)) return CoreLibrary{stored};
    Result<std::filesystem::path> folder = exe_dir();
    if (!folder) return fail(std::move(folder.error()));
    Result<CoreLibrary> opened = detail::open_core_library(join_path(*folder, core_library_file_name()));
    if (!opened) return opened;
    void* expected = nullptr;
    if (!g_core_module.compare_exchange_strong(expected, opened->module, std::memory_order_acq_rel)) {
        detail::close_core_library(*opened);
        return CoreLibrary{expected};
    }
    return opened;
}

Result<> run_core(std::string_view config, std::string_view log_path, std::string_view cwd) {
    Result<CoreLibrary> library = load_core_library();
    if (!library) return fail(std::move(library.error()));
    return detail::run_core_in(*library, config, log_path, cwd);
}

void shutdown_core() {
    const Result<CoreLibrary> library = load_core_library();
    if (library) detail::shutdown_core_in(*library);
}

namespace detail {

Result<> run_core_in(CoreLibrary library, std::string_view config, std::string_view log_path, std::string_view cwd) {
    Result<GenericFn> start = find_core_symbol(library, "clash_start");
    if (!start) return fail(std::move(start.error()).context("clash_start symbol"));
    Result<GenericFn> free_string = find_core_symbol(library, "clash_free_string");
    if (!free_string) return fail(std::move(free_string.error()).context("clash_free_string symbol"));

    const Result<std::string> config_c = c_string(config, "config contains NUL");
    if (!config_c) return fail(config_c.error());
    const Result<std::string> log_c = c_string(log_path, "log path contains NUL");
    if (!log_c) return fail(log_c.error());
    const Result<std::string> cwd_c = c_string(cwd, "cwd contains NUL");
    if (!cwd_c) return fail(cwd_c.error());

    // Casts from the generic `void (*)()` are the documented way back to the
    // real type of a looked-up symbol.
    const auto clash_start = reinterpret_cast<ClashStartFn>(*start);
    const auto clash_free_string = reinterpret_cast<ClashFreeStringFn>(*free_string);

    char* result = clash_start(config_c->c_str(), log_c->c_str(), cwd_c->c_str(), 1);
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
