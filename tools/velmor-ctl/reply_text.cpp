#include "velmor-ctl/reply_text.hpp"

#include <rapidjson/document.h>

#include <limits>

#include "base/text.hpp"

namespace velmor::ctl {
namespace {

// Lines for people are never cut: the whole reply, escaped.
constexpr std::size_t WHOLE = std::numeric_limits<std::size_t>::max();

std::optional<std::string> text_of(const rapidjson::Value& object, const char* name) {
    const auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString()) return std::nullopt;
    return std::string(member->value.GetString(), member->value.GetStringLength());
}

// The reply's object, when it is one with a boolean "ok".
bool parse_reply(rapidjson::Document& doc, std::string_view reply) {
    doc.Parse(reply.data(), reply.find('\n') == std::string_view::npos ? reply.size() : reply.find('\n'));
    if (doc.HasParseError() || !doc.IsObject()) return false;
    const auto ok = doc.FindMember("ok");
    return ok != doc.MemberEnd() && ok->value.IsBool();
}

}  // namespace

std::optional<std::string> readable_reply(Verb verb, std::string_view reply) {
    if (verb != Verb::Status && verb != Verb::Start && verb != Verb::Stop) return std::nullopt;
    rapidjson::Document doc;
    if (!parse_reply(doc, reply)) return std::nullopt;
    const std::string name = verb == Verb::Status ? "status" : verb == Verb::Start ? "start" : "stop";
    if (!doc["ok"].GetBool()) {
        const std::optional<std::string> error = text_of(doc, "error");
        if (!error) return std::nullopt;
        return name + (verb == Verb::Status ? " refused: " : " failed: ") + *error;
    }
    const auto data = doc.FindMember("data");
    if (data == doc.MemberEnd()) return std::nullopt;
    if (verb != Verb::Status) {
        if (!data->value.IsNull()) return std::nullopt;
        return verb == Verb::Start ? "core started" : "core stopped";
    }
    if (!data->value.IsObject()) return std::nullopt;
    const std::optional<std::string> state = text_of(data->value, "status");
    if (!state) return std::nullopt;
    std::string line = "core " + *state;
    if (const std::optional<std::string> error = text_of(data->value, "error")) line += ": " + *error;
    return line;
}

std::string json_for_terminal(std::string_view reply) {
    const bool ended = reply.ends_with('\n');
    if (ended) reply.remove_suffix(1);
    std::u16string out;
    for (const char16_t c : utf8_to_utf16(reply)) {
        if (!is_control_for_log(c)) {
            out.push_back(c);
            continue;
        }
        static constexpr char16_t HEX[] = u"0123456789abcdef";
        out += u"\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out.push_back(HEX[(c >> shift) & 0xF]);
    }
    return utf16_to_utf8(out) + (ended ? "\n" : "");
}

std::string helper_line(const HelperIdentity& helper) {
    std::string line = "helper process " + std::to_string(helper.process);
    if (helper.version) line += ", version " + *helper.version;
    if (helper.started) line += ", started " + *helper.started;
    if (helper.unreadable && (!helper.version || !helper.started)) {
        const std::string missing = !helper.version && !helper.started ? "version and start time"
                                    : !helper.version                  ? "version"
                                                                       : "start time";
        line += " (" + missing + " unreadable: " + *helper.unreadable + ")";
    }
    return line;
}

std::string printed_reply(const CtlCommand& command, std::string_view reply,
                          const std::optional<HelperIdentity>& helper) {
    const std::optional<std::string> readable = command.json ? std::nullopt : readable_reply(command.verb, reply);
    if (!readable) return json_for_terminal(reply);
    std::string out = escape_for_log(*readable, WHOLE) + "\n";
    if (command.verb == Verb::Status && helper) out += escape_for_log(helper_line(*helper), WHOLE) + "\n";
    return out;
}

std::string error_line(const Error& error) { return "velmor-ctl: " + escape_for_log(error.one_line(), WHOLE) + "\n"; }

int reply_exit_status(std::string_view reply) {
    rapidjson::Document doc;
    if (!parse_reply(doc, reply)) return 2;
    return doc["ok"].GetBool() ? 0 : 1;
}

}  // namespace velmor::ctl
