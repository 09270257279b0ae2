// Literal values and brace property maps, shared by where-conditions and
// pattern texts: `{name: 'Ada', age: 36, tags: ['x', 'y']}`.
//
// Pure C++ (no Python headers) so it can be unit tested and fuzzed on its own;
// the Python layer converts literals to Python values.
//
// Lexical rules (conditions use the same tokenizer):
// - Tokens may be separated by any Unicode White_Space.
// - Identifiers start with an ASCII letter, '_' or a non-ASCII code point and
//   go on with those and ASCII digits.
// - AND OR NOT IS NULL IN STARTS ENDS WITH CONTAINS TRUE FALSE are keywords in
//   any letter case.
// - Integers keep their digit text, with a '-' written directly before the
//   digits; floats need digits on both sides of '.' or an exponent.
// - Strings use '...' or "..." with the escapes \\ \' \" \n \t \r \0 \uXXXX
//   and \U00XXXXXX (no surrogates); values are UTF-8.
// - List literals nest at most 256 deep.
// - `$name` is a parameter, a placeholder for a value supplied later; the
//   name is an identifier (keywords included). It may stand for a whole
//   value, not for an item of a list.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorvel::text {

struct Literal {
    enum class Kind { Null, Bool, Int, Float, String, List, Parameter };
    Kind kind = Kind::Null;
    bool b = false;              // Bool
    std::string text;            // Int digits (with any '-'), Float as written, decoded String,
                                 // Parameter name (without the '$')
    double f = 0.0;              // Float; out of range values are +-infinity or +-0
    std::vector<Literal> items;  // List
};

// `position` is a 0-based offset in code points into the parsed text: where
// the offending token starts (for an unclosed bracket, where the bracket
// is), or the text's length when the text ended too early.
struct ParseError {
    std::string message;
    std::size_t position = 0;
};

struct MapEntry {
    std::string key;
    Literal value;
};

struct MapResult {
    std::vector<MapEntry> entries;
    std::size_t consumed = 0;
};

// A brace property map: `text` starts at '{' and may go on past the closing
// '}' (the rest of a pattern). Keys are identifiers (keywords included) or
// quoted strings, values are literals, `{}` is allowed, a key may appear
// once. `consumed` counts the bytes up to and including the closing '}'.
// Error messages say what is wrong "in property map" without a position,
// since the caller names the pattern; `position` is still set, relative to
// `text`.
std::variant<MapResult, ParseError> parse_property_map(std::string_view text);

}  // namespace quorvel::text
