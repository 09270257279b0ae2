// Result columns of return_, return_distinct and with_: `n`, `n.name`,
// `lower(n.name) AS name`, `count(*)`, `count(DISTINCT m)`, `collect(e.w)`.
//
// Pure C++ (no Python headers), sharing the operands and messages of the
// condition parser. Any string has always been a column: a bound variable of
// that exact name, else `v.key` split at the first '.', else nothing. So a
// text with no '(' and no ` AS ` word stays such a legacy column and is not
// parsed at all; everything else must read as `expr [AS alias]`, where expr
// is an operand (functions included) or one aggregate call around one.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "query/condition.hpp"

namespace quorvel::cond {

enum class Aggregate { None, Count, Collect, Sum, Min, Max, Avg };

struct Column {
    bool legacy = false;  // no call and no AS: resolved by the engine exactly as before
    Aggregate aggregate = Aggregate::None;
    bool distinct = false;  // count(DISTINCT x), collect(DISTINCT x), ...
    bool star = false;      // count(*)
    Operand operand;        // the expression, or the aggregate's argument
    std::optional<std::string> alias;
    std::string text;  // the column text exactly as written (the key when no alias)
};

// The column, or an error whose message ends with "at position N".
// Aggregates do not nest, and `*` stands only in count(*).
std::variant<Column, ParseError> parse_column(std::string_view text);

}  // namespace quorvel::cond
