#include "control/json_check.hpp"

#include <cstdint>
#include <cstring>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include "base/text.hpp"

namespace velmor {
namespace {

// True when `text` may hold the escape of a low surrogate (\uDC00 to
// \uDFFF). An escaped backslash before such letters counts too: erring that
// way only costs a closer look at every string.
bool may_hold_low_surrogate_escape(std::string_view text) {
    for (std::size_t at = text.find('\\'); at != std::string_view::npos; at = text.find('\\', at + 1)) {
        if (at + 3 < text.size() && text[at + 1] == 'u' && (text[at + 2] | 0x20) == 'd') {
            const char c = static_cast<char>(text[at + 3] | 0x20);
            if (c >= 'c' && c <= 'f') return true;
        }
    }
    return false;
}

struct DepthLimitedHandler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, DepthLimitedHandler> {
    std::size_t depth = 0;
    // The reader lets an escaped lone low surrogate through as bytes that are
    // not UTF-8; such a string is refused like any other invalid text. A text
    // without such an escape (nearly every configuration) needs no look at
    // its hundreds of thousands of strings.
    bool check_strings = true;
    bool Default() { return true; }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return true; }
    bool String(const char* s, rapidjson::SizeType n, bool) { return !check_strings || is_valid_decoded_string(s, n); }
    bool Key(const char* s, rapidjson::SizeType n, bool) { return !check_strings || is_valid_decoded_string(s, n); }
    bool StartObject() { return ++depth <= MAX_JSON_DEPTH; }
    bool StartArray() { return ++depth <= MAX_JSON_DEPTH; }
    bool EndObject(rapidjson::SizeType) { --depth; return true; }
    bool EndArray(rapidjson::SizeType) { --depth; return true; }
};

}  // namespace

bool is_valid_decoded_string(const char* s, std::size_t n) {
    // The raw bytes were found valid before the reader ran, so only a \u
    // escape can have produced invalid output, and the only such output is an
    // encoded lone surrogate, which begins with the byte 0xED. Most strings
    // have none and pass after one quick scan.
    if (std::memchr(s, 0xED, n) == nullptr) return true;
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

std::size_t find_control_character(std::string_view text) {
    constexpr std::uint64_t ONES = 0x0101010101010101ULL;
    constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ULL;
    std::size_t pos = 0;
    // Eight bytes at a time; a block with any byte below 0x20 is looked at
    // byte by byte, since tab, line feed and carriage return may stand there.
    for (; pos + 8 <= text.size(); pos += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + pos, sizeof word);
        if (((word - 0x20 * ONES) & ~word & HIGH_BITS) == 0) continue;
        for (std::size_t i = pos; i < pos + 8; ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return i;
        }
    }
    for (; pos < text.size(); ++pos) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return pos;
    }
    return std::string_view::npos;
}

std::string padded_json_copy(std::string_view text) {
    std::string copy;
    // Zeroed padding: the SSE2 loads read it, so it must not be garbage to
    // memory checkers.
    copy.resize(text.size() + 16);
    copy.resize(text.size());
    std::memcpy(copy.data(), text.data(), text.size());
    return copy;
}

bool is_padded_for_json(const std::string& text) { return text.capacity() >= text.size() + 16; }

bool is_well_formed_json(const std::string& text) {
    // The reader takes a NUL byte for the end of its input, and its SSE2
    // string scan misses 0x1A to 0x1F; no JSON text holds such a byte raw, so
    // it is refused before the reader runs.
    if (find_control_character(text) != std::string_view::npos) return false;
    // The bytes are checked once, up front, instead of by the reader string
    // by string, which costs several times as much on a large configuration.
    if (find_utf8_fault(text)) return false;
    const bool in_place = is_padded_for_json(text);
    std::string copy;
    if (!in_place) copy = padded_json_copy(text);
    rapidjson::StringStream stream(in_place ? text.c_str() : copy.c_str());
    rapidjson::Reader reader;
    DepthLimitedHandler handler;
    handler.check_strings = may_hold_low_surrogate_escape(text);
    constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    return !reader.Parse<flags>(stream, handler).IsError();
}

}  // namespace velmor
