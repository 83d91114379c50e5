#include "control/json_check.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "base/text.hpp"

namespace velmor {
namespace {

struct DepthLimitedHandler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, DepthLimitedHandler> {
    std::size_t depth = 0;
    bool Default() { return true; }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return true; }
    // The reader lets an escaped lone low surrogate through as bytes that are
    // not UTF-8; such a string is refused like any other invalid text.
    bool String(const char* s, rapidjson::SizeType n, bool) { return is_valid_decoded_string(s, n); }
    bool Key(const char* s, rapidjson::SizeType n, bool) { return is_valid_decoded_string(s, n); }
    bool StartObject() { return ++depth <= MAX_JSON_DEPTH; }
    bool StartArray() { return ++depth <= MAX_JSON_DEPTH; }
    bool EndObject(rapidjson::SizeType) { --depth; return true; }
    bool EndArray(rapidjson::SizeType) { --depth; return true; }
};

}  // namespace

bool is_valid_decoded_string(const char* s, std::size_t n) {
    return !find_utf8_fault(std::string_view(s, n)).has_value();
}

std::string describe_position(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return "line " + std::to_string(line) + " column " + std::to_string(offset - line_start + 1);
}

bool is_well_formed_json(std::string_view text) {
    // The reader takes a NUL byte for the end of its input; no JSON text holds
    // a raw NUL, so such a text is refused before it can hide what follows.
    if (text.find('\0') != std::string_view::npos) return false;
    rapidjson::MemoryStream stream(text.data(), text.size());
    rapidjson::Reader reader;
    DepthLimitedHandler handler;
    constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
                               rapidjson::kParseNumbersAsStringsFlag;
    return !reader.Parse<flags>(stream, handler).IsError();
}

}  // namespace velmor
