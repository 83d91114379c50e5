#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "base/os_error.hpp"
#include "base/path.hpp"
#include "core/core_library.hpp"

namespace velmor {

std::filesystem::path::string_type core_library_file_name() { return "libclash_ffi.so"; }

namespace detail {

Result<CoreModule> open_core_library(const std::filesystem::path& path) {
    const std::string shown = path_to_utf8(path);
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0)
        return fail(call_error("stat", static_cast<std::uint32_t>(errno)).context("core library not found: " + shown));
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = ::dlerror();
        Error cause = why != nullptr ? Error("dlopen failed", Error(why)) : Error("dlopen failed, but system did not report the error");
        return fail(std::move(cause).context("load " + shown));
    }
    return CoreModule(module);
}

void close_core_module(void* module) { ::dlclose(module); }

Result<GenericFn> find_core_symbol(CoreLibrary library, const char* name) {
    ::dlerror();
    void* symbol = ::dlsym(library.module, name);
    if (symbol == nullptr) {
        const char* why = ::dlerror();
        if (why != nullptr) return fail(Error("dlsym failed", Error(why)));
        return fail("dlsym failed, but system did not report the error");
    }
    return reinterpret_cast<GenericFn>(symbol);
}

}  // namespace detail
}  // namespace velmor
