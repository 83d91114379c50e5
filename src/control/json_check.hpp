#pragma once
// Well-formedness checks of JSON text with RapidJSON's iterative SAX reader,
// so that no input can exhaust the stack.

#include <cstddef>
#include <string>
#include <string_view>

namespace velmor {

// The deepest nesting of objects and arrays accepted, the outermost counted.
inline constexpr std::size_t MAX_JSON_DEPTH = 127;

// Line and column (both from 1) of a byte offset in `text`.
std::string describe_position(std::string_view text, std::size_t offset);

// True when a string that the reader decoded is valid UTF-8. The reader
// turns an escaped lone low surrogate (\uDC00 to \uDFFF) into bytes that are
// not, so every decoded string and key is checked with this. Only for text
// whose raw bytes were found to be valid UTF-8 before it was read.
bool is_valid_decoded_string(const char* s, std::size_t n);

// Offset of the first byte of `text` below 0x20 other than tab, line feed and
// carriage return, or npos. No JSON text holds one raw: it is neither white
// space between tokens nor allowed inside a string. Checked before reading,
// since the reader stops at a NUL, and its SSE2 string scan lets 0x1A to 0x1F
// through.
std::size_t find_control_character(std::string_view text);

// A copy of `text` that RapidJSON's fast string streams (StringStream and
// InsituStringStream) may read: it ends in a NUL, and its buffer reaches at least 16 bytes beyond
// that NUL, since the SSE2 scanning loads whole aligned 16-byte blocks. The
// reader takes the NUL for the end, so `text` itself must hold none, nor any
// other byte that find_control_character finds.
std::string padded_json_copy(std::string_view text);

// True when the buffer of `text` reaches 16 bytes beyond its NUL, so that
// the fast string stream may read it in place.
bool is_padded_for_json(const std::string& text);

// True when `text` is one well-formed JSON value of any type, with only JSON
// white space around it, valid UTF-8 in its strings, and at most
// MAX_JSON_DEPTH levels of nesting. Numbers are checked for syntax, and for
// an exponent within the range of a double. Reads `text` in place when it is
// padded (is_padded_for_json), as the configuration of a long request is;
// otherwise reads a padded copy.
bool is_well_formed_json(const std::string& text);

}  // namespace velmor
