#include "velmor-ctl/status_line.hpp"

#include <rapidjson/document.h>

namespace velmor::ctl {
namespace {

std::optional<std::string> text_of(const rapidjson::Value& object, const char* name) {
    const auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString()) return std::nullopt;
    return std::string(member->value.GetString(), member->value.GetStringLength());
}

}  // namespace

std::optional<std::string> status_line(std::string_view reply) {
    rapidjson::Document doc;
    doc.Parse(reply.data(), reply.find('\n') == std::string_view::npos ? reply.size() : reply.find('\n'));
    if (doc.HasParseError() || !doc.IsObject()) return std::nullopt;
    const auto ok = doc.FindMember("ok");
    if (ok == doc.MemberEnd() || !ok->value.IsBool()) return std::nullopt;
    if (!ok->value.GetBool()) {
        const std::optional<std::string> error = text_of(doc, "error");
        if (!error) return std::nullopt;
        return "status refused: " + *error;
    }
    const auto data = doc.FindMember("data");
    if (data == doc.MemberEnd() || !data->value.IsObject()) return std::nullopt;
    const std::optional<std::string> state = text_of(data->value, "status");
    if (!state) return std::nullopt;
    std::string line = "core " + *state;
    if (const std::optional<std::string> error = text_of(data->value, "error")) line += ": " + *error;
    return line;
}

}  // namespace velmor::ctl
