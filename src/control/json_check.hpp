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

// True when `text` is one well-formed JSON value of any type, with only JSON
// white space around it, valid UTF-8 in its strings, and at most
// MAX_JSON_DEPTH levels of nesting. Numbers of any magnitude are accepted:
// only the syntax matters here.
bool is_well_formed_json(std::string_view text);

}  // namespace velmor
