#pragma once
// velmor-ctl's command line: which command the words ask for, or what is
// wrong with them (exit status 2, before anything is sent or read).
// Portable; main thread.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "velmor-ctl/log_time.hpp"

namespace velmor::ctl {

enum class Verb { Help, Version, Ping, Status, Stop, Start, Send, Log, CheckFolder, Diag };

struct CtlCommand {
    Verb verb = Verb::Help;
    std::string word;                 // the command as written ("status")
    bool console = false;             // any helper, not only the service; log: the one next to velmor-ctl.exe
    bool json = false;                // status, start, stop: the reply as received
    std::string value;                // start: FILE; send: LINE; diag: FOLDER
    std::optional<std::string> file;  // log FILE; check-folder FOLDER
    bool before_install = false;      // check-folder --before-install (needs FOLDER)
    bool allow_unsafe_folder = false; // check-folder --before-install --allow-unsafe-folder
    bool local = false;               // log --local
    bool follow = false;              // log --follow, -f
    std::optional<IsoTime> since;     // log --since
};

// `words` are the arguments after the program's name, as UTF-8. `--console`
// goes first; "--help" ("-h", "/?") anywhere but as the value of start or
// send asks for the usage; every option is given at most once. The error
// names what was wrong, as the helper's own command line does: `unknown
// option "-x"`, `unknown command "pong"`, `option "--json" given twice`, ...
Result<CtlCommand> parse_ctl_command_line(std::span<const std::string> words);

// What --help prints; its first line follows every usage error.
extern const std::string_view CTL_USAGE;

}  // namespace velmor::ctl
