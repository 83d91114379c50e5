#include "velmor-ctl/pipe_client.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "base/names.hpp"
#include "base/os_error.hpp"
#include "base/text.hpp"

namespace velmor::ctl {

Result<> check_server(const Result<std::optional<std::uint32_t>>& service, const HelperIdentity& server,
                      bool console, std::string_view command) {
    if (console) return {};
    const std::string pipe(PIPE_NAME_TEXT);
    if (!service)
        return fail("cannot query the velmor-helper service to check who serves " + pipe + "; nothing was sent: " +
                    service.error().one_line());
    std::string served_by = pipe + " is served by process " + std::to_string(server.process);
    if (!server.image.empty()) served_by += " (" + server.image + ")";
    // The next step depends on what serves: a helper in console mode is
    // talked to with --console; any other program is only named.
    const std::string_view name = std::string_view(server.image).substr(server.image.find_last_of("\\/") + 1);
    const bool helper = std::ranges::equal(name, std::string_view("velmor-helper.exe"),
                                           [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    const std::string next =
        server.image.empty() ? "; nothing was sent (for a helper in console mode, use --console)"
        : helper ? "; nothing was sent: for a helper in console mode, run `velmor-ctl --console " + std::string(command) + "`"
                 : std::string("; nothing was sent: that program is not velmor-helper.exe");
    if (!*service) return fail("the velmor-helper service is not installed, yet " + served_by + next);
    if (**service == 0) return fail("the velmor-helper service is not running, yet " + served_by + next);
    // Beside a running service, the server is a stranger, never a helper to
    // talk to.
    if (**service != server.process)
        return fail(served_by + ", not by the velmor-helper service (process " + std::to_string(**service) +
                    "); nothing was sent");
    return {};
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

Result<std::string> command_request(const CtlCommand& command, const ConfigReader& read) {
    if (command.verb == Verb::Send) return command.value + "\n";
    if (command.verb != Verb::Start) return request_line(command.word, std::nullopt);
    Result<std::string> config = read(command.value);
    if (!config) return config;
    // Notepad and other editors start UTF-8 files with a byte-order mark,
    // which is not part of the JSON text.
    if (config->starts_with("\xEF\xBB\xBF")) config->erase(0, 3);
    if (const auto fault = find_utf8_fault(*config))
        return fail(command.value + " is not UTF-8 text: " + fault->describe() + "; save it as UTF-8; nothing was sent");
    return request_line("start", *config);
}

namespace {

std::string code_text(std::uint32_t code) { return "(os error " + std::to_string(code) + ")"; }

}  // namespace

OpenRetry after_open_failure(std::uint32_t code, std::chrono::steady_clock::duration waited,
                             const std::function<std::string()>& how_to_start) {
    const std::string pipe(PIPE_NAME_TEXT);
    if (code == pipe_code::FILE_NOT_FOUND) {
        if (waited < ABSENT_WAIT) return {OpenRetry::wait_absent, std::nullopt};
        return {OpenRetry::give_up, Error("velmor-helper is not running: no " + pipe + "; " + how_to_start())};
    }
    if (code == pipe_code::PIPE_BUSY) {
        if (waited < BUSY_WAIT) return {OpenRetry::wait_busy, std::nullopt};
        return {OpenRetry::give_up, Error("velmor-helper is busy with other clients and stayed busy for " +
                                          std::to_string(BUSY_WAIT.count()) + " s; try again " + code_text(code))};
    }
    if (code == pipe_code::ACCESS_DENIED)
        return {OpenRetry::give_up,
                Error("access to " + pipe + " denied: only local users may use it " + code_text(code))};
    return {OpenRetry::give_up, Error("cannot open " + pipe + "; try again", call_error("CreateFileW", code))};
}

bool connection_ended(std::uint32_t code) {
    return code == pipe_code::BROKEN_PIPE || code == pipe_code::PIPE_NOT_CONNECTED || code == pipe_code::NO_DATA;
}

Result<std::string> exchange_over(const ExchangeCalls& calls, std::string_view request, std::chrono::milliseconds bound,
                                  const std::function<std::string()>& log_hint) {
    const auto timed_out = [&] {
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(bound).count();
        return fail("velmor-helper did not reply within " + std::to_string(seconds) + " s" + log_hint());
    };
    std::string_view rest = request;
    while (!rest.empty()) {
        const IoDone written = calls.write(rest);
        if (written.timed_out) return timed_out();
        if (!written.ok) {
            const std::uint32_t code = written.code;
            if (connection_ended(code)) {
                Error error("velmor-helper ended the connection before the whole request was sent " + code_text(code));
                // Nothing of it was taken: the helper dropped the connection
                // (its share of the pipe was full), and it may be tried again.
                if (rest.size() == request.size()) return fail(std::move(error).with_system_code(code));
                return fail(std::move(error));
            }
            return fail(Error("cannot send the request", call_error("WriteFile", code)));
        }
        rest.remove_prefix(std::min<std::size_t>(written.bytes, rest.size()));
    }
    std::string reply;
    std::vector<char> chunk(4096);
    while (reply.find('\n') == std::string::npos) {
        const IoDone read = calls.read(chunk.data(), static_cast<std::uint32_t>(chunk.size()));
        if (read.timed_out) return timed_out();
        reply.append(chunk.data(), std::min<std::size_t>(read.bytes, chunk.size()));
        if (!read.ok && read.code != pipe_code::MORE_DATA) {
            if (!connection_ended(read.code))
                return fail(Error("cannot read the reply", call_error("ReadFile", read.code)));
            if (reply.empty())
                return fail("velmor-helper ended the connection without a reply " + code_text(read.code) + log_hint());
            return fail("velmor-helper ended the connection in the middle of its reply " + code_text(read.code) +
                        log_hint());
        }
        if (read.ok && read.bytes == 0 && !reply.empty()) break;
    }
    return reply;
}

}  // namespace velmor::ctl
