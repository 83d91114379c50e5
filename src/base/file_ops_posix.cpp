#include <fcntl.h>
#include <stdio.h>

#include "base/file_ops.hpp"
#include "base/os_error.hpp"

namespace velmor::file_ops {

Result<> rename_file(const std::filesystem::path& from, const std::filesystem::path& to, Rename how) {
    if (how == Rename::KeepExisting) {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0)
            return fail(last_call_error("renameat2"));
        return {};
    }
    if (::rename(from.c_str(), to.c_str()) != 0) return fail(last_call_error("rename"));
    return {};
}

Result<> copy_file_over(const std::filesystem::path& source, const std::filesystem::path& destination) {
    std::error_code error;
    std::filesystem::copy_file(source, destination, std::filesystem::copy_options::overwrite_existing, error);
    if (error) return fail(call_error("copy_file", static_cast<std::uint32_t>(error.value())));
    return {};
}

}  // namespace velmor::file_ops
