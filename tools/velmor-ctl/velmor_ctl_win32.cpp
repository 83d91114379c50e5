// velmor-ctl: sends one request to the helper's control pipe and prints the
// reply line exactly as received.
//
//   velmor-ctl ping | status | stop | start FILE | send LINE
//
// Exit status: 0 for a reply with "ok":true, 1 for "ok":false, 2 when no
// reply came (helper absent or busy past the wait, request refused, usage).

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.hpp"
#include "base/text.hpp"
#include "base/win.hpp"

namespace velmor {
namespace {

constexpr const wchar_t* PIPE_PATH = L"\\\\.\\pipe\\velmor-helper";
// How long to keep trying while the pipe is absent or busy serving others.
constexpr auto CONNECT_WAIT = std::chrono::seconds(10);
constexpr int EXIT_OK = 0, EXIT_NOT_OK = 1, EXIT_NO_REPLY = 2;

constexpr const char* USAGE =
    "usage: velmor-ctl ping | status | stop | start FILE | send LINE\n"
    "  start FILE  sends the text of FILE as the core configuration\n"
    "  send LINE   sends LINE as it is, followed by a line feed\n";

void print_error(const Error& error) {
    const std::string text = "velmor-ctl: " + error.full_description() + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

std::string request_line(std::string_view action, const std::optional<std::string>& config) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("action");
    w.String(action.data(), static_cast<rapidjson::SizeType>(action.size()));
    if (config) {
        w.Key("config");
        w.String(config->data(), static_cast<rapidjson::SizeType>(config->size()));
    }
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

Result<std::string> read_text_file(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) return fail("cannot open " + narrow(path));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return fail("cannot read " + narrow(path));
    if (const auto fault = find_utf8_fault(text))
        return fail(Error(fault->describe()).context(narrow(path) + " is not UTF-8 text"));
    return text;
}

// Opens the pipe, waiting while it is absent (helper starting, or between
// two of its instances) or busy (another client is being served).
Result<unique_handle> connect_pipe() {
    const auto deadline = std::chrono::steady_clock::now() + CONNECT_WAIT;
    for (;;) {
        HANDLE h = CreateFileW(PIPE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) return unique_handle(h);
        const DWORD code = GetLastError();
        const auto now = std::chrono::steady_clock::now();
        if ((code != ERROR_PIPE_BUSY && code != ERROR_FILE_NOT_FOUND) || now >= deadline)
            return fail(Error("cannot open " + narrow(PIPE_PATH), Error("CreateFileW failed: " + std::to_string(code))));
        if (code == ERROR_PIPE_BUSY) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            WaitNamedPipeW(PIPE_PATH, static_cast<DWORD>(std::max<long long>(1, left.count())));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

// Sends the request as one message and reads the reply up to its line feed,
// or until the helper disconnects.
Result<std::string> exchange(HANDLE pipe, std::string_view request) {
    std::string_view rest = request;
    while (!rest.empty()) {
        DWORD written = 0;
        if (!WriteFile(pipe, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr))
            return fail("WriteFile failed: " + std::to_string(GetLastError()));
        rest.remove_prefix(written);
    }
    std::string reply;
    std::vector<char> chunk(4096);
    while (reply.find('\n') == std::string::npos) {
        DWORD n = 0;
        const BOOL ok = ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr);
        const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
        reply.append(chunk.data(), n);
        if (!ok && code != ERROR_MORE_DATA) {
            if (reply.empty()) return fail(Error("no reply", Error("ReadFile failed: " + std::to_string(code))));
            break;
        }
        if (ok && n == 0 && !reply.empty()) break;
    }
    return reply;
}

int run(const std::vector<std::wstring>& args) {
    if (args.size() < 2) {
        std::fputs(USAGE, stderr);
        return EXIT_NO_REPLY;
    }
    const std::wstring& command = args[1];
    std::string request;
    if ((command == L"ping" || command == L"status" || command == L"stop") && args.size() == 2) {
        request = request_line(narrow(command), std::nullopt);
    } else if (command == L"start" && args.size() == 3) {
        Result<std::string> config = read_text_file(args[2]);
        if (!config) {
            print_error(config.error());
            return EXIT_NO_REPLY;
        }
        request = request_line("start", *config);
    } else if (command == L"send" && args.size() == 3) {
        request = narrow(args[2]) + "\n";
    } else {
        std::fputs(USAGE, stderr);
        return EXIT_NO_REPLY;
    }

    Result<unique_handle> pipe = connect_pipe();
    if (!pipe) {
        print_error(pipe.error());
        return EXIT_NO_REPLY;
    }
    Result<std::string> reply = exchange(pipe->get(), request);
    if (!reply) {
        print_error(reply.error());
        return EXIT_NO_REPLY;
    }
    std::fwrite(reply->data(), 1, reply->size(), stdout);
    std::fflush(stdout);

    rapidjson::Document doc;
    doc.Parse(reply->data(), reply->find('\n') == std::string::npos ? reply->size() : reply->find('\n'));
    if (doc.HasParseError() || !doc.IsObject()) return EXIT_NO_REPLY;
    const auto ok = doc.FindMember("ok");
    if (ok == doc.MemberEnd() || !ok->value.IsBool()) return EXIT_NO_REPLY;
    return ok->value.GetBool() ? EXIT_OK : EXIT_NOT_OK;
}


}  // namespace
}  // namespace velmor

int wmain(int, wchar_t**) {
    // The reply goes out byte for byte, without CR LF translation.
    _setmode(_fileno(stdout), _O_BINARY);
    return velmor::run(velmor::command_line_arguments());
}
