// Parser for where-conditions such as `n.age >= 18 AND NOT m:Robot`, and for
// the brace property maps of pattern texts such as `{name: 'Ada', age: 36}`.
//
// Pure C++ (no Python headers) so it can be unit tested and fuzzed on its own;
// the Python layer evaluates the tree and converts literals to Python values.
//
// A hand-written recursive descent parser over a lazy tokenizer: each token is
// cut only when the parser asks for it, which lets the type test read its
// `$...$` schema text raw and lets a property map stop at its closing brace.
// Nesting (parentheses, NOT chains, list literals together) is refused past
// 256 levels, so neither parsing nor destroying a tree can exhaust the stack;
// everything else is linear in the input.
//
// Lexical rules:
// - Tokens may be separated by any Unicode White_Space.
// - Identifiers start with an ASCII letter, '_' or a non-ASCII code point and
//   go on with those and ASCII digits.
// - AND OR NOT IS NULL IN STARTS ENDS WITH CONTAINS TRUE FALSE are keywords in
//   any letter case and cannot name a variable. After '.' and ':' a word can
//   only be a key or a type name, so `n.in` and `n:Null` mean the key "in" and
//   the type "Null" (kept as written).
// - Integers keep their digit text, with a '-' written directly before the
//   digits; floats need digits on both sides of '.' or an exponent.
// - Strings use '...' or "..." with the escapes \\ \' \" \n \t \r \0 \uXXXX
//   and \U00XXXXXX (no surrogates); values are UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorvel::cond {

struct Literal {
    enum class Kind { Null, Bool, Int, Float, String, List };
    Kind kind = Kind::Null;
    bool b = false;              // Bool
    std::string text;            // Int digits (with any '-'), Float as written, decoded String
    double f = 0.0;              // Float; out of range values are +-infinity or +-0
    std::vector<Literal> items;  // List
};

struct Operand {
    enum class Kind { Literal, Property, Variable };
    Kind kind = Kind::Literal;
    Literal literal;       // Literal
    std::string variable;  // Property, Variable
    std::string key;       // Property
};

enum class Cmp { Eq, Ne, Lt, Le, Gt, Ge };

// One node of the condition tree. Which fields are used depends on `kind`:
//   Or, And      children (two or more)
//   Not          children (exactly one)
//   Compare      lhs cmp rhs
//   IsNull       lhs, negated for IS NOT NULL
//   In           lhs, list (a List literal), negated for NOT IN
//   StartsWith, EndsWith, Contains    lhs, rhs
//   TypeTest     variable, schema (a schema text such as "$Person$")
//   Truth        lhs alone: the condition is that operand's truth
struct Expr {
    enum class Kind { Or, And, Not, Compare, IsNull, In, StartsWith, EndsWith, Contains, TypeTest, Truth };
    Kind kind = Kind::Truth;
    std::vector<Expr> children;
    Operand lhs, rhs;
    Cmp cmp = Cmp::Eq;
    bool negated = false;
    Literal list;
    std::string variable, schema;
};

// `position` is a 0-based offset in code points into the parsed text: where
// the offending token starts (for an unclosed bracket, where the bracket
// is), or the text's length when the text ended too early.
struct ParseError {
    std::string message;
    std::size_t position = 0;
};

// The condition tree, or an error whose message ends with "at position N"
// (except "empty condition" for a blank text).
std::variant<Expr, ParseError> parse_condition(std::string_view text);

// Every variable the condition mentions, each once, in order of first
// appearance.
std::vector<std::string> variables_of(const Expr& condition);

// A brace property map: `text` starts at '{' and may go on past the closing
// '}' (the rest of a pattern). Keys are identifiers (keywords included) or
// quoted strings, values are literals as in conditions, `{}` is allowed.
// `consumed` counts the bytes up to and including the closing '}'. Error
// messages say what is wrong "in property map" without a position, since the
// caller names the pattern; `position` is still set, relative to `text`.
struct MapEntry {
    std::string key;
    Literal value;
};

struct MapResult {
    std::vector<MapEntry> entries;
    std::size_t consumed = 0;
};

std::variant<MapResult, ParseError> parse_property_map(std::string_view text);

}  // namespace quorvel::cond
