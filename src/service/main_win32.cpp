// The executable's entry: picks the role from the command line, runs it,
// and turns a failure into "Error: " plus the full description on standard
// error and exit status 1; a command line that names no role is refused with
// the usage and exit status 2.

#include "base/win.hpp"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/os_error.hpp"
#include "base/version.hpp"
#include "service/console.hpp"
#include "service/install.hpp"
#include "service/service_command_line.hpp"
#include "service/service_runner.hpp"

namespace velmor {
namespace {

// Line feeds as they are, like the log's echo on standard error.
void print(std::FILE* stream, std::string_view text) {
    _setmode(_fileno(stream), _O_BINARY);
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

Result<> run_role(const CommandLine& line) {
    switch (line.role) {
        case HostRole::Install: return install_service(line.allow_unsafe_folder);
        case HostRole::Uninstall: return uninstall_service();
        case HostRole::Console: return run_console();
        // Neither opens the log nor touches the SCM.
        case HostRole::Version: print(stdout, std::string(VERSION_LINE) + "\n"); return {};
        case HostRole::Help: print(stdout, HELP_TEXT); return {};
        case HostRole::Service: break;
        case HostRole::Unknown: return fail(line.problem);
    }
    return run_service_dispatcher();
}

void report_error(const Error& error) { print(stderr, "Error: " + error.full_description() + "\n"); }

}  // namespace
}  // namespace velmor

int wmain(int, wchar_t**) {
    // Before anything loads a library: the default search takes only the
    // executable's folder and System32, never the current folder or PATH.
    // Libraries loaded by full path, as the core library is, are unaffected.
    // Without that limit a library planted in the current folder or on PATH
    // could be loaded as SYSTEM: no role runs without it.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
        velmor::report_error(velmor::Error("cannot limit where libraries are loaded from",
                                           velmor::last_call_error("SetDefaultDllDirectories")));
        return 1;
    }
    const std::vector<std::wstring> args = velmor::command_line_arguments();
    const velmor::CommandLine line = velmor::parse_command_line(args);
    // A typo touches nothing: no dispatcher, no log, no registration.
    if (line.role == velmor::HostRole::Unknown) {
        velmor::print(stderr, line.problem + "\n" + std::string(velmor::HELP_TEXT));
        return velmor::EXIT_USAGE;
    }
    const velmor::HostRole role = line.role;
    const velmor::Result<> outcome = velmor::run_role(line);
    if (!outcome) {
        velmor::report_error(outcome.error());
        if (const auto code = outcome.error().system_code()) {
            const std::string_view step = velmor::next_step_after(role, *code);
            if (!step.empty()) velmor::print(stderr, std::string(step) + "\n");
        }
        return 1;
    }
    return 0;
}
