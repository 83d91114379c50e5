// velmor-ctl: sends one request to the helper's control pipe and prints the
// reply (status, start, stop: a line for a person, or the reply with
// --json); prints the helper's log with readable times; checks the program
// folder as install does. One file per job: the command line
// (ctl_command_line), the pipe client (pipe_client_win32), what is printed
// of a reply (reply_text), the log viewer (log_viewer_win32), the support
// bundle (diag); this file dispatches.
//
//   velmor-ctl [--console] ping | status [--json] | stop | start FILE | send LINE
//   velmor-ctl [--console] log [FILE] [--local] [--follow] [--since TIME]
//   velmor-ctl check-folder [FOLDER] | check-folder --before-install [--allow-unsafe-folder] FOLDER
//   velmor-ctl [--console] diag FOLDER
//   velmor-ctl --version | --help
//
// Runs on its main thread alone; `log --follow` polls the file until the
// process is ended.
//
// Before it writes anything it checks who serves the pipe: the process on
// the other end must be the running velmor-helper service (with --console,
// any helper: for one run in console mode). The pipe is opened for
// identification only, so a server that is not the helper cannot act as the
// user who runs this.
//
// Exit status: 0 for a reply with "ok":true, 1 for "ok":false, 2 when no
// reply came (helper absent or busy past the wait, server refused, request
// refused, usage). Every failure is one line on standard error that names
// the cause and what to do next.

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.hpp"
#include "base/names.hpp"
#include "base/os_error.hpp"
#include "base/version.hpp"
#include "base/win.hpp"
#include "core/program_trust.hpp"
#include "env/data_folder.hpp"
#include "env/locations.hpp"
#include "trust/entry.hpp"
#include "trust/file_trust.hpp"
#include "velmor-ctl/check_folder_win32.hpp"
#include "velmor-ctl/ctl_command_line.hpp"
#include "velmor-ctl/diag.hpp"
#include "velmor-ctl/log_viewer.hpp"
#include "velmor-ctl/pipe_client.hpp"
#include "velmor-ctl/reply_text.hpp"

namespace velmor {
namespace {

constexpr int EXIT_OK = 0, EXIT_NO_REPLY = 2;

void print_error(const Error& error) {
    // One line, causes after ": ", as every failure of velmor-ctl is; what
    // it quotes of a reply, a file or an argument is escaped.
    const std::string text = ctl::error_line(error);
    std::fwrite(text.data(), 1, text.size(), stderr);
}

// A usage error: what was wrong, and the usage's first line.
int usage_error(const Error& what) {
    const std::string_view usage = ctl::CTL_USAGE;
    print_error(Error(what.message() + "; " + std::string(usage.substr(0, usage.find('\n'))) + " (--help for more)"));
    return EXIT_NO_REPLY;
}

// FILE's bytes, for start.
Result<std::string> read_file(const std::string& utf8_path) {
    const std::wstring path = widen(utf8_path);
    const unique_handle file = adopt_file_handle(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return fail(Error("cannot open " + utf8_path, last_call_error("CreateFileW")));
    std::string text;
    std::vector<char> chunk(65536);
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr))
            return fail(Error("cannot read " + utf8_path, last_call_error("ReadFile")));
        if (n == 0) break;
        text.append(chunk.data(), n);
    }
    return text;
}

// ping, status, stop, start, send: one request, its reply printed.
int run_request(const ctl::CtlCommand& command) {
    const Result<std::string> request = ctl::command_request(command, read_file);
    if (!request) {
        print_error(request.error());
        return EXIT_NO_REPLY;
    }
    const Result<ctl::Answered> answered = ctl::ask_helper(*request, command.console, command.word);
    if (!answered) {
        print_error(answered.error());
        return EXIT_NO_REPLY;
    }
    const std::string out = ctl::printed_reply(command, answered->reply,
                                               command.console ? answered->server
                                                               : ctl::with_service_image(answered->server));
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return ctl::reply_exit_status(answered->reply);
}

int run(const std::vector<std::wstring>& all) {
    std::vector<std::string> words;
    for (std::size_t i = 1; i < all.size(); ++i) words.push_back(narrow(all[i]));
    const Result<ctl::CtlCommand> command = ctl::parse_ctl_command_line(words);
    if (!command) return usage_error(command.error());
    switch (command->verb) {
        case ctl::Verb::Help:
            std::fwrite(ctl::CTL_USAGE.data(), 1, ctl::CTL_USAGE.size(), stdout);
            return EXIT_OK;
        case ctl::Verb::Version:
            std::fputs((std::string(VERSION_LINE) + "\n").c_str(), stdout);
            return EXIT_OK;
        case ctl::Verb::Log:
            return ctl::run_log(*command);
        case ctl::Verb::Diag:
            return ctl::run_diag(*command);
        case ctl::Verb::CheckFolder:
            return ctl::check_folder_command(command->before_install, command->allow_unsafe_folder,
                                             command->file ? std::optional(widen(*command->file)) : std::nullopt);
        default:
            return run_request(*command);
    }
}

}  // namespace
}  // namespace velmor

int wmain(int, wchar_t**) {
    // The reply goes out byte for byte, and messages end in a line feed, as
    // the helper's do: no CR LF translation.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return velmor::run(velmor::command_line_arguments());
}
