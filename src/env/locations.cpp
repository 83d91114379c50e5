#include "env/locations.hpp"

#include "base/path.hpp"
#include "env/locations_platform.hpp"

namespace velmor {

std::filesystem::path service_data_dir() {
    const std::filesystem::path base = detail::program_data_base();
    return join_path(join_path(base, PathString{'V', 'e', 'l', 'm', 'o', 'r'}),
                     PathString{'s', 'e', 'r', 'v', 'i', 'c', 'e'});
}

std::filesystem::path core_log_path() {
    return join_path(join_path(service_data_dir(), PathString{'l', 'o', 'g'}),
                     PathString{'c', 'l', 'a', 's', 'h', '.', 'l', 'o', 'g'});
}

Result<std::filesystem::path> exe_dir() {
    Result<std::filesystem::path> exe = detail::current_exe();
    if (!exe) return fail(std::move(exe.error()));
    std::filesystem::path parent = exe->parent_path();
    if (parent.empty() || parent == *exe) return fail("invalid exe path");
    return parent;
}

}  // namespace velmor
