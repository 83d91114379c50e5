#include "velmor-ctl/pipe_client.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>

#include "base/names.hpp"

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

}  // namespace velmor::ctl
