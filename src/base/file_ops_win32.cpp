#include "base/file_ops_win32.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "base/os_error.hpp"

namespace velmor::file_ops {
namespace {

// FileRenameInfoEx, which the headers declare only for later Windows
// versions than the one the helper is built for.
constexpr auto FILE_RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

}  // namespace

Result<> rename_open_file(HANDLE file, const std::filesystem::path& to, Rename how) {
    // The new name in full, after the fixed part.
    const std::wstring& name = to.native();
    const std::size_t bytes = name.size() * sizeof(wchar_t);
    std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + bytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    FILE_INFO_BY_HANDLE_CLASS kind = FileRenameInfo;
    if (how == Rename::ReplaceEvenIfOpen) {
        kind = FILE_RENAME_INFO_EX;
        rename->Flags = FILE_RENAME_FLAG_POSIX_SEMANTICS | FILE_RENAME_FLAG_REPLACE_IF_EXISTS;
    } else {
        rename->ReplaceIfExists = how == Rename::ReplaceExisting;
    }
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(rename->FileName, name.data(), bytes);
    if (!SetFileInformationByHandle(file, kind, rename, static_cast<DWORD>(buffer.size())))
        return fail(last_call_error("SetFileInformationByHandle"));
    return {};
}

Result<> rename_file(const std::filesystem::path& from, const std::filesystem::path& to, Rename how) {
    if (how == Rename::ReplaceEvenIfOpen) {
        // Through a handle on the entry itself, shared every way as the
        // handles of those who may hold it are.
        const unique_handle file = adopt_file_handle(
            CreateFileW(from.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file) return fail(last_call_error("CreateFileW"));
        Result<> renamed = rename_open_file(file.get(), to, how);
        const std::uint32_t code = renamed ? 0 : renamed.error().system_code().value_or(0);
        if (renamed || (code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION))
            return renamed;
        // Neither the class nor its flags are known here: the old rename.
    }
    const DWORD flags = how == Rename::KeepExisting ? 0 : MOVEFILE_REPLACE_EXISTING;
    if (!MoveFileExW(from.c_str(), to.c_str(), flags)) return fail(last_call_error("MoveFileExW"));
    return {};
}

Result<> copy_file_over(const std::filesystem::path& source, const std::filesystem::path& destination) {
    if (!CopyFileExW(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr, 0))
        return fail(last_call_error("CopyFileExW"));
    return {};
}

}  // namespace velmor::file_ops
