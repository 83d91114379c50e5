// The `log` command's files: the service's log found from its registration,
// opened with every sharing and read as the helper appends to it.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "base/os_error.hpp"
#include "base/win.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"
#include "velmor-ctl/log_viewer.hpp"
#include "service/scm.hpp"
#include "velmor-ctl/pipe_client.hpp"
#include "velmor-ctl/reply_text.hpp"

namespace velmor::ctl {
namespace {

constexpr int EXIT_OK = 0, EXIT_NO_LOG = 2;

// Opened for reading with every sharing: the helper goes on appending to it
// and may rename it at its size cap while we hold it.
Result<unique_handle> open_log(const std::filesystem::path& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) return unique_handle(h);
    const DWORD code = GetLastError();
    std::string hint;
    if (code == ERROR_ACCESS_DENIED) hint = "; only SYSTEM, the Administrators and the helper's user may read it: "
                                            "run velmor-ctl from an elevated prompt";
    return fail(Error("cannot open " + narrow(path.native()) + hint, call_error("CreateFileW", code)));
}

Result<std::string> read_to_end(HANDLE file) {
    std::string bytes;
    std::vector<char> chunk(65536);
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr))
            return fail(last_call_error("ReadFile"));
        if (n == 0) return bytes;
        bytes.append(chunk.data(), n);
    }
}

class FileLog final : public FollowedLog {
public:
    FileLog(std::filesystem::path path, unique_handle file) : path_(std::move(path)), file_(std::move(file)) {}
    Result<std::string> read_new() override { return read_to_end(file_.get()); }
    bool replaced() override {
        const unique_handle named = adopt_file_handle(CreateFileW(path_.c_str(), FILE_READ_ATTRIBUTES,
                                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                                  nullptr, OPEN_EXISTING, 0, nullptr));
        if (!named) return false;  // not made again yet: keep reading the old one
        BY_HANDLE_FILE_INFORMATION a{}, b{};
        if (!GetFileInformationByHandle(named.get(), &a) || !GetFileInformationByHandle(file_.get(), &b)) return false;
        return a.dwVolumeSerialNumber != b.dwVolumeSerialNumber || a.nFileIndexHigh != b.nFileIndexHigh ||
               a.nFileIndexLow != b.nFileIndexLow;
    }
    Result<> reopen() override {
        Result<unique_handle> fresh = open_log(path_);
        if (!fresh) return fail(fresh.error());
        file_ = std::move(*fresh);
        return {};
    }

private:
    std::filesystem::path path_;
    unique_handle file_;
};

// False when standard output is gone.
bool print(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

int fail_with(const Error& error) {
    const std::string line = error_line(error);
    std::fwrite(line.data(), 1, line.size(), stderr);
    return EXIT_NO_LOG;
}

int print_log(const std::filesystem::path& path, LogLines& lines, bool follow) {
    // The older file first, read whole and closed at once: a handle kept on
    // it would make the helper's next rotation fail.
    std::filesystem::path older = path;
    older += L".1";
    if (Result<unique_handle> opened = open_log(older)) {
        Result<std::string> bytes = read_to_end(opened->get());
        if (!bytes) return fail_with(bytes.error().context("cannot read " + narrow(older.native())));
        // add before finish: the two operands of + are not sequenced.
        std::string text = lines.add(*bytes);
        if (!print(text += lines.finish())) return EXIT_NO_LOG;
    } else if (opened.error().system_code() != ERROR_FILE_NOT_FOUND) {
        return fail_with(opened.error());
    }
    Result<unique_handle> opened = open_log(path);
    if (!opened) return fail_with(opened.error());
    FileLog log(path, std::move(*opened));
    Result<std::string> first = log.read_new();
    if (!first) return fail_with(first.error().context("cannot read " + narrow(path.native())));
    std::string text = lines.add(*first);
    if (!follow) text += lines.finish();
    if (!print(text)) return EXIT_NO_LOG;
    while (follow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        Result<std::string> round = follow_round(log, lines);
        if (!round) return fail_with(round.error().context("cannot read " + narrow(path.native())));
        if (!print(*round)) return EXIT_NO_LOG;
    }
    return EXIT_OK;
}

}  // namespace

Result<std::filesystem::path> service_log_path() {
    const Result<std::wstring> image = scm::service_image_path();
    if (!image && image.error().system_code() == ERROR_SERVICE_DOES_NOT_EXIST)
        return fail("the velmor-helper service is not installed: name the log file (velmor-ctl log FILE), or use "
                    "--console for a helper in console mode");
    if (!image) return fail(image.error());
    return std::filesystem::path(*image).parent_path() / widen(LOG_FILE_NAME);
}

Result<std::string> readable_local_log(const std::filesystem::path& path) {
    Result<unique_handle> opened = open_log(path);
    if (!opened) return fail(opened.error());
    Result<std::string> bytes = read_to_end(opened->get());
    if (!bytes) return fail(bytes.error().context("cannot read " + narrow(path.native())));
    LogLines lines(LogLineFilter(LogLineFilter::LocalOffset(utc_offset_minutes), std::nullopt));
    std::string text = lines.add(*bytes);
    return text += lines.finish();
}

int run_log(const CtlCommand& command) {
    std::optional<std::int64_t> since;
    if (command.since) {
        // A time without a zone is read as the output shows times.
        since = command.since->zoned || !command.local ? std::optional(command.since->intervals)
                                                       : local_to_utc(command.since->intervals);
        if (!since) return fail_with(Error("--since: this machine's time zone cannot convert the time given"));
    }
    std::filesystem::path path;
    if (command.file) {
        path = widen(*command.file);
    } else if (command.console) {
        Result<std::filesystem::path> folder = exe_dir();
        if (!folder) return fail_with(folder.error());
        path = *folder / widen(LOG_FILE_NAME);
    } else {
        Result<std::filesystem::path> service = service_log_path();
        if (!service) return fail_with(service.error());
        path = std::move(*service);
    }
    LogLines lines(LogLineFilter(command.local ? LogLineFilter::LocalOffset(utc_offset_minutes) : nullptr, since));
    return print_log(path, lines, command.follow);
}

}  // namespace velmor::ctl
