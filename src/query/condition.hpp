// Parser for where-conditions such as `n.age >= 18 AND NOT m:Robot`.
//
// Pure C++ (no Python headers) so it can be unit tested and fuzzed on its own;
// the Python layer evaluates the tree and converts literals to Python values.
//
// A hand-written recursive descent parser over the lazy tokenizer it shares
// with property maps (text/literal.hpp, whose lexical rules apply here too):
// the type test reads its type text raw, the way a node pattern's type part
// reads (`n:list[str]`, `n:(A -> B) -> C`, `n:$* -> B$`). Nesting
// (parentheses, NOT chains, list literals, function calls together) is
// refused past 256 levels, so neither parsing nor destroying a tree can
// exhaust the stack; everything else is linear in the input.
//
// Keywords cannot name a variable. After '.' and ':' a word can only be a key
// or a type name, so `n.in` and `n:Null` mean the key "in" and the type
// "Null" (kept as written). A word followed by '(' is a function call; names
// are matched in any letter case. Literals and brace maps come from
// text/literal.hpp and are re-exported here under their old names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "text/literal.hpp"

namespace quorvel::cond {

using text::Literal;
using text::MapEntry;
using text::MapResult;
using text::parse_property_map;
using text::ParseError;

// term(e): an edge's term name; type(x): the type text of a node's type or
// an edge's term type; uid(x); size(v) of a str or list; lower(s), upper(s);
// coalesce(a, b, ...): the first argument that is not null.
enum class Function { Term, Type, Uid, Size, Lower, Upper, Coalesce };

struct Operand {
    enum class Kind { Literal, Property, Variable, Parameter, Function };
    Kind kind = Kind::Literal;
    Literal literal;       // Literal
    std::string variable;  // Property, Variable
    std::string key;       // Property
    std::string name;      // Parameter (without '$'); Function (as written)
    Function function = Function::Term;
    std::vector<Operand> args;  // Function
    std::size_t position = 0;   // code-point offset where the operand starts
};

enum class Cmp { Eq, Ne, Lt, Le, Gt, Ge };

// One node of the condition tree. Which fields are used depends on `kind`:
//   Or, And      children (two or more)
//   Not          children (exactly one)
//   Compare      lhs cmp rhs
//   IsNull       lhs, negated for IS NOT NULL
//   In           lhs, list (a List literal, or a Parameter one), negated for NOT IN
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

// The condition tree, or an error whose message ends with "at position N"
// (except "empty condition" for a blank text).
std::variant<Expr, ParseError> parse_condition(std::string_view text);

// Every variable the condition mentions (function arguments included), each
// once, in order of first appearance.
std::vector<std::string> variables_of(const Expr& condition);

}  // namespace quorvel::cond
