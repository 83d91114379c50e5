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
// not, so every decoded string and key is checked with this.
bool is_valid_decoded_string(const char* s, std::size_t n);

// True when `text` is one well-formed JSON value of any type, with only JSON
// white space around it, valid UTF-8 in its strings, and at most
// MAX_JSON_DEPTH levels of nesting. Numbers are checked for syntax, and for
// an exponent within the range of a double.
bool is_well_formed_json(std::string_view text);

}  // namespace velmor
