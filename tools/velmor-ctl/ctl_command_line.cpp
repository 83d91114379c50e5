#include "velmor-ctl/ctl_command_line.hpp"

#include <algorithm>
#include <array>

namespace velmor::ctl {

const std::string_view CTL_USAGE =
    "usage: velmor-ctl [--console] ping | status [--json] | stop | start FILE | send LINE | log [FILE] [OPTIONS]\n"
    "  ping        asks the helper whether it answers\n"
    "  status      prints the core's state and last error, \"core running\",\n"
    "              \"core failed: {error}\", then which helper answers: its process,\n"
    "              version and start time\n"
    "  stop        stops the core\n"
    "  start FILE  sends the text of FILE (UTF-8, with or without a byte-order\n"
    "              mark) as the core configuration\n"
    "      --json      status, stop, start: the reply as received, for scripts\n"
    "  send LINE   sends LINE as it is, followed by a line feed\n"
    "  log [FILE]  prints the helper's log (the service's, or FILE) with its times\n"
    "              in ISO 8601 UTC; velmor-helper.log.1 first when there is one\n"
    "      --local         local times instead of UTC\n"
    "      --since TIME    only lines from TIME on: 2026-12-08, 2026-12-08T09:30,\n"
    "                      2026-12-08T09:30:00Z, ...+01:00; UTC (local with\n"
    "                      --local) when TIME has no zone\n"
    "      --follow        goes on printing lines as they are written (also -f)\n"
    "  check-folder [FOLDER]  checks FOLDER (default: this program's) as install\n"
    "              does (who may change it, the folders above it and the files\n"
    "              the service uses); with --before-install [--allow-unsafe-folder]\n"
    "              FOLDER, as the package does before it copies its files\n"
    "  diag FOLDER writes a support bundle into FOLDER (made when missing; never\n"
    "              into a folder that holds anything): versions, the service's\n"
    "              registration, settings, folder checks, status, logs and events,\n"
    "              each part a file, described in FOLDER\\README.txt; no\n"
    "              configuration is ever copied\n"
    "  --console   for testing: talks to a helper run as \"velmor-helper.exe console\",\n"
    "              without checking that the velmor-helper service serves the pipe;\n"
    "              with log: the log next to velmor-ctl.exe; with diag: the log of\n"
    "              the helper that answers\n"
    "  --version   prints the version\n"
    "  --help      prints this text (also -h and /?)\n"
    "Replies and log lines are printed with control characters escaped (\\u{1b});\n"
    "--json, ping and send print the reply line as received, with those\n"
    "characters written as JSON escapes (\\u001b). Exit status: 0 for a reply with\n"
    "\"ok\":true, 1 for \"ok\":false (check-folder: an unsafe folder), 2 when there\n"
    "is no reply (log: no log to read) or the command line is wrong; diag: 0 once\n"
    "the bundle is written, whatever a part found, 1 when FOLDER cannot be used.\n";

namespace {

bool is_help(std::string_view word) { return word == "--help" || word == "-h" || word == "/?"; }

struct VerbName {
    std::string_view word;
    Verb verb;
};
constexpr std::array VERBS = {
    VerbName{"ping", Verb::Ping},   VerbName{"status", Verb::Status}, VerbName{"stop", Verb::Stop},
    VerbName{"start", Verb::Start}, VerbName{"send", Verb::Send},     VerbName{"log", Verb::Log},
    VerbName{"check-folder", Verb::CheckFolder}, VerbName{"diag", Verb::Diag},
};

std::unexpected<Error> unknown(std::string_view word, std::string_view after = {}) {
    const bool option = word.starts_with('-');
    std::string what = std::string(option ? "unknown option" : "unknown command") + " \"" + std::string(word) + "\"";
    if (!after.empty()) what += " for " + std::string(after);
    return fail(what);
}

// Sets `flag`, refusing a second time: a repeated option is a typo more
// often than a wish for the last value.
Result<> once(bool& flag, std::string_view word) {
    if (flag) return fail("option \"" + std::string(word) + "\" given twice");
    flag = true;
    return {};
}

}  // namespace

Result<CtlCommand> parse_ctl_command_line(std::span<const std::string> words) {
    CtlCommand command;
    std::size_t at = 0;
    if (at < words.size() && words[at] == "--console") {
        command.console = true;
        ++at;
    }
    if (at == words.size()) return fail("no command given");
    command.word = words[at];
    // The value of send is taken as written, whatever it looks like.
    const std::size_t literal = command.word == "send" ? at + 1 : words.size();
    for (std::size_t i = at; i < words.size(); ++i)
        if (i != literal && is_help(words[i])) return command;  // Help
    for (std::size_t i = at; i < words.size(); ++i)
        if (i != literal && words[i] == "--console") return fail("--console goes before the command");
    if (command.word == "--version") {
        command.verb = Verb::Version;
        if (at + 1 < words.size()) return fail("unexpected argument \"" + words[at + 1] + "\" after --version");
        return command;
    }
    const auto named = std::ranges::find(VERBS, std::string_view(command.word), &VerbName::word);
    if (named == VERBS.end()) return unknown(command.word);
    command.verb = named->verb;

    const bool takes_json = command.verb == Verb::Status || command.verb == Verb::Stop || command.verb == Verb::Start;
    std::optional<std::string> positional;
    bool since_given = false;
    for (std::size_t i = at + 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        Result<> taken;
        if (i == literal) {
            positional = word;
        } else if (takes_json && word == "--json") {
            taken = once(command.json, word);
        } else if (command.verb == Verb::Log && word == "--local") {
            taken = once(command.local, word);
        } else if (command.verb == Verb::Log && (word == "--follow" || word == "-f")) {
            taken = once(command.follow, word);
        } else if (command.verb == Verb::Log && word == "--since") {
            taken = once(since_given, word);
            if (!taken) return fail(taken.error());
            if (i + 1 == words.size()) return fail("--since needs a time, such as 2026-12-08T09:30Z");
            command.since = parse_iso_time(words[++i]);
            if (!command.since)
                return fail("--since needs a time such as 2026-12-08, 2026-12-08T09:30 or 2026-12-08T09:30Z, not \"" +
                            words[i] + "\"");
        } else if (command.verb == Verb::CheckFolder && word == "--before-install" && !positional) {
            taken = once(command.before_install, word);
        } else if (command.verb == Verb::CheckFolder && word == "--allow-unsafe-folder" && command.before_install &&
                   !positional) {
            taken = once(command.allow_unsafe_folder, word);
        } else if (word.size() > 1 && word.starts_with('-')) {
            return unknown(word, command.word);
        } else if (!positional &&
                   (command.verb == Verb::Start || command.verb == Verb::Log || command.verb == Verb::CheckFolder ||
                    command.verb == Verb::Diag)) {
            positional = word;
        } else {
            return fail("unexpected argument \"" + word + "\" after " + command.word +
                        (positional ? " " + *positional : std::string()));
        }
        if (!taken) return fail(taken.error());
    }
    switch (command.verb) {
        case Verb::Start:
        case Verb::Send:
        case Verb::Diag:
            if (!positional)
                return fail(command.word + (command.verb == Verb::Start  ? " needs FILE"
                                            : command.verb == Verb::Send ? " needs LINE"
                                                                         : " needs FOLDER"));
            command.value = *positional;
            break;
        case Verb::Log:
            if (positional && command.console) return fail("log takes FILE or --console, not both");
            command.file = positional;
            break;
        case Verb::CheckFolder:
            if (command.console) return fail("check-folder takes no --console");
            if (command.before_install && !positional) return fail("check-folder --before-install needs FOLDER");
            command.file = positional;
            break;
        default: break;
    }
    return command;
}

}  // namespace velmor::ctl
