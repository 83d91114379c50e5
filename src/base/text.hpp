#pragma once
// Text inside the helper is UTF-8; Windows calls take UTF-16. Conversions
// replace every invalid part with U+FFFD.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmor {

// Where and how a byte sequence fails to be UTF-8.
struct Utf8Fault {
    std::size_t index;          // byte index where the faulty sequence starts
    std::optional<std::size_t> length;  // bytes of the faulty sequence; none when cut off at the end
    std::string describe() const;
};

// The first fault in `bytes`, or none when they are valid UTF-8.
std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes);

// `bytes` as UTF-8, each maximal invalid subpart replaced with U+FFFD.
std::string sanitize_utf8(std::string_view bytes);

std::u16string utf8_to_utf16(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view utf16);

// True for the characters with the Unicode White_Space property.
bool is_unicode_white_space(char32_t c);

// `text` (valid UTF-8) without leading and trailing Unicode white space.
std::string_view trim_unicode_white_space(std::string_view text);

// True when `text` (valid UTF-8) is empty or made only of Unicode white space.
bool is_blank(std::string_view text);

// Text from outside the helper made safe for one log line: control
// characters (C0, DEL, C1, U+2028, U+2029) written as escapes (\r, \n, \t,
// \u{XX}), cut where the escaped form would pass `max_bytes` (never inside
// a character or an escape), followed by a marker that says how many input
// bytes were left out. `text` is valid UTF-8 (invalid parts become U+FFFD).
std::string escape_for_log(std::string_view text, std::size_t max_bytes = 1024);

// The characters escape_for_log escapes: C0, DEL, C1, U+2028 and U+2029, all
// of which a terminal may act on. Output for scripts (JSON) escapes the same
// ones in its own notation.
bool is_control_for_log(char32_t c);

}  // namespace velmor
