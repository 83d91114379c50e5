#include "trust/program_files.hpp"

#include <algorithm>
#include <vector>

#include "base/names.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"

namespace velmor::trust {
namespace {

// `name` ends in `extension`, in any case (the loader's names are not case
// sensitive).
bool has_extension(const std::filesystem::path::string_type& name, const std::filesystem::path::string_type& extension) {
    const auto lower = [](auto c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    return name.size() > extension.size() &&
           std::equal(extension.begin(), extension.end(), name.end() - static_cast<std::ptrdiff_t>(extension.size()),
                      [&](auto a, auto b) { return lower(a) == lower(b); });
}

}  // namespace

std::optional<Unsafe> find_unsafe_program_files(const std::filesystem::path& folder,
                                                const Result<std::filesystem::path>& exe,
                                                const std::filesystem::path::string_type& core_library,
                                                const EntryReader& reader, bool permissions_kept) {
    // The running executable by its own name: a check that cannot say which
    // file that is fails closed.
    if (!exe) return Unsafe{folder, "it cannot be checked", exe.error()};
    std::vector<std::filesystem::path> files{exe->filename()};
    files.emplace_back(core_library);
    files.emplace_back(WINTUN_NAME);
    // Every other library there too, with the core library's extension.
    const std::filesystem::path::string_type extension = std::filesystem::path(core_library).extension().native();
    std::error_code listed;
    for (std::filesystem::directory_iterator at(folder, listed), end; !listed && at != end; at.increment(listed)) {
        const std::filesystem::path::string_type name = at->path().filename().native();
        if (has_extension(name, extension) && name != core_library && name != WINTUN_NAME) files.emplace_back(name);
    }
    // A folder that cannot be found is the chain's to report.
    if (listed && listed != std::errc::no_such_file_or_directory)
        return Unsafe{folder, "it cannot be checked",
                      os_error(static_cast<std::uint32_t>(listed.value())).context("cannot list it")};
    for (std::filesystem::path& file : files) file = join_path(folder, file.native());
    return find_unsafe(folder, files, reader, permissions_kept);
}

ProgramTrust program_trust(const std::optional<Unsafe>& unsafe, const Result<bool>& allowed) {
    if (!unsafe) return ProgramTrust::Safe;
    return allowed && *allowed ? ProgramTrust::Allowed : ProgramTrust::Refused;
}

Result<> decide_program_trust(const std::string& what, const std::optional<Unsafe>& unsafe,
                              const Result<bool>& allowed, std::string_view allowance, const TrustLog& log) {
    const ProgramTrust verdict = program_trust(unsafe, allowed);
    if (verdict == ProgramTrust::Safe) return {};
    Error error = unsafe_error(what, *unsafe);
    if (verdict == ProgramTrust::Allowed) {
        log(true, error.message() + std::string(ALLOWED_AT_INSTALL));
        return {};
    }
    log(false, error.full_description());
    // Then it allows nothing.
    if (!allowed) log(false, "cannot read " + std::string(allowance) + ": " + allowed.error().one_line());
    return fail(std::move(error));
}

}  // namespace velmor::trust
