// Reading a type back from its printed form: "A", "(A -> B)",
// "((A -> B) -> C)".
//
// The text is the inverse of Type::text() for every name that is readable: not
// empty, without "(", ")" or "->", and without white space at either end
// (inner white space is part of the name, so "Big Company" reads back). White
// space around names, arrows and parentheses is free, and the outermost arrow
// may stand without parentheses ("A -> B"). Two arrows at one level ("A -> B
// -> C") are refused as ambiguous instead of being given an associativity:
// printed types never produce them.
//
// Pure C++ and iterative: parentheses nested a million deep cost heap, not
// stack.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "types/type.hpp"

namespace quorvel {

struct TypeTextError {
    const char* reason;  // e.g. "expected a type name"
    std::size_t offset;  // byte offset into the text
};

using TypeTextResult = std::variant<TypeRef, TypeTextError>;

TypeTextResult parse_type_text(std::string_view text);

// Whether `name`, printed inside a type, reads back as itself.
bool readable_name(std::string_view name) noexcept;

// The number of code points in the UTF-8 text before byte `offset`: the
// position Python code sees in the str.
std::size_t char_position(std::string_view text, std::size_t offset) noexcept;

}  // namespace quorvel
