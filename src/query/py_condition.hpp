// Where-conditions: parsed once when `where` is called, evaluated for each
// row of the bindings when the queue runs.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/ref.hpp"
#include "query/condition.hpp"
#include "text/py_literal.hpp"
#include "type_schema/py_type_schema.hpp"

namespace quorvel {

struct QueryValue;

// Immutable once built and free of Python objects, so operations share it.
struct CompiledCondition {
    cond::Expr expr;
    std::vector<std::string> variables;
    std::unordered_map<std::string, TypeSchemaValue> schemas;  // by schema text
};

// Parses `text`; a malformed condition raises ValueError
// "Invalid query: <what> at position N (where)". Returns null then.
std::shared_ptr<const CompiledCondition> compile_condition(std::string_view text);

// Keeps the rows for which the condition is true. A variable the condition
// names that is not bound raises NameError "Variable 'x' not found (where)".
bool filter_rows(QueryValue& q, const CompiledCondition& c);

}  // namespace quorvel
