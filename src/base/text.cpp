#include "base/text.hpp"

#include <cstdint>
#include <cstring>

namespace velmor {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// Decodes one UTF-8 sequence at `pos`. On success returns its length and sets
// `out`. On failure returns 0 and sets `bad` to the length of the maximal
// invalid subpart (at least 1), and `truncated` when the input ends inside an
// otherwise valid prefix.
std::size_t decode_one(std::string_view s, std::size_t pos, char32_t& out, std::size_t& bad,
                       bool& truncated) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c0 = b(pos);
    truncated = false;
    if (c0 < 0x80) {
        out = c0;
        return 1;
    }
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c0 >= 0xC2 && c0 <= 0xDF) {
        need = 2;
    } else if (c0 >= 0xE0 && c0 <= 0xEF) {
        need = 3;
        if (c0 == 0xE0) lo = 0xA0;
        if (c0 == 0xED) hi = 0x9F;
    } else if (c0 >= 0xF0 && c0 <= 0xF4) {
        need = 4;
        if (c0 == 0xF0) lo = 0x90;
        if (c0 == 0xF4) hi = 0x8F;
    } else {
        bad = 1;
        return 0;
    }
    char32_t cp = c0 & (need == 2 ? 0x1F : need == 3 ? 0x0F : 0x07);
    for (std::size_t i = 1; i < need; ++i) {
        if (pos + i >= s.size()) {
            bad = i;
            truncated = true;
            return 0;
        }
        const unsigned char ci = b(pos + i);
        const unsigned char l = (i == 1) ? lo : 0x80;
        const unsigned char h = (i == 1) ? hi : 0xBF;
        if (ci < l || ci > h) {
            bad = i;
            return 0;
        }
        cp = (cp << 6) | (ci & 0x3F);
    }
    out = cp;
    return need;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes the last code point of valid UTF-8 text ending at `end`; sets its start.
char32_t decode_last(std::string_view s, std::size_t end, std::size_t& start) {
    start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    char32_t cp = 0;
    std::size_t bad = 0;
    bool truncated = false;
    if (decode_one(s, start, cp, bad, truncated) == 0) return REPLACEMENT;
    return cp;
}

}  // namespace

std::string Utf8Fault::describe() const {
    if (!length) return "incomplete utf-8 byte sequence from index " + std::to_string(index);
    return "invalid utf-8 sequence of " + std::to_string(*length) + " bytes from index " +
           std::to_string(index);
}

std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        // Fast path over ASCII, eight bytes at a time: requests and
        // configurations of several MiB are mostly ASCII.
        constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ULL;
        std::uint64_t word = 0;
        while (pos + sizeof word <= bytes.size()) {
            std::memcpy(&word, bytes.data() + pos, sizeof word);
            if ((word & HIGH_BITS) != 0) break;
            pos += sizeof word;
        }
        if (pos == bytes.size()) break;
        if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
            ++pos;
            continue;
        }
        char32_t cp = 0;
        std::size_t bad = 0;
        bool truncated = false;
        const std::size_t n = decode_one(bytes, pos, cp, bad, truncated);
        if (n == 0) {
            if (truncated) return Utf8Fault{pos, std::nullopt};
            return Utf8Fault{pos, bad};
        }
        pos += n;
    }
    return std::nullopt;
}

std::string sanitize_utf8(std::string_view bytes) {
    if (!find_utf8_fault(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 8);
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        char32_t cp = 0;
        std::size_t bad = 0;
        bool truncated = false;
        const std::size_t n = decode_one(bytes, pos, cp, bad, truncated);
        if (n == 0) {
            append_utf8(out, REPLACEMENT);
            pos += bad;
        } else {
            out.append(bytes.substr(pos, n));
            pos += n;
        }
    }
    return out;
}

std::u16string utf8_to_utf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t cp = 0;
        std::size_t bad = 0;
        bool truncated = false;
        const std::size_t n = decode_one(utf8, pos, cp, bad, truncated);
        if (n == 0) {
            cp = REPLACEMENT;
            pos += bad;
        } else {
            pos += n;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
                ++i;
            } else {
                cp = REPLACEMENT;
            }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = REPLACEMENT;
        }
        append_utf8(out, cp);
    }
    return out;
}

bool is_unicode_white_space(char32_t c) {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

std::string_view trim_unicode_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        char32_t cp = 0;
        std::size_t bad = 0;
        bool truncated = false;
        const std::size_t n = decode_one(text, begin, cp, bad, truncated);
        if (n == 0 || !is_unicode_white_space(cp)) break;
        begin += n;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = 0;
        const char32_t cp = decode_last(text, end, start);
        if (start < begin || !is_unicode_white_space(cp)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

bool is_control_for_log(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029; }

std::string escape_for_log(std::string_view text, std::size_t max_bytes) {
    // The bound is on what is written: a byte that escapes to six must not
    // make the line six times the size of what the client sent.
    std::string out;
    out.reserve(std::min(text.size(), max_bytes) + 32);
    std::size_t pos = 0;
    char piece[16];
    while (pos < text.size()) {
        char32_t cp = 0;
        std::size_t bad = 0;
        bool truncated = false;
        const std::size_t n = decode_one(text, pos, cp, bad, truncated);
        std::string_view escaped;
        std::size_t consumed = n;
        if (n == 0) {
            escaped = "\xEF\xBF\xBD";  // U+FFFD
            consumed = bad;
        } else if (cp == '\r') {
            escaped = "\\r";
        } else if (cp == '\n') {
            escaped = "\\n";
        } else if (cp == '\t') {
            escaped = "\\t";
        } else if (is_control_for_log(cp)) {
            static constexpr char HEX[] = "0123456789abcdef";
            std::size_t k = 0;
            piece[k++] = '\\';
            piece[k++] = 'u';
            piece[k++] = '{';
            bool started = false;
            for (int shift = 12; shift >= 0; shift -= 4) {
                const unsigned digit = (cp >> shift) & 0xF;
                if (digit != 0 || started || shift == 0) {
                    piece[k++] = HEX[digit];
                    started = true;
                }
            }
            piece[k++] = '}';
            escaped = std::string_view(piece, k);
        } else {
            escaped = text.substr(pos, n);
        }
        if (out.size() + escaped.size() > max_bytes) break;
        out.append(escaped);
        pos += consumed;
    }
    if (pos < text.size()) out += " [" + std::to_string(text.size() - pos) + " more bytes left out]";
    return out;
}

bool is_blank(std::string_view text) { return trim_unicode_white_space(text).empty(); }

}  // namespace velmor
