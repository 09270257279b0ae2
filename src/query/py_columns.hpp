// Columns of return_, return_distinct and with_ (see py_columns.cpp).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "binding/ref.hpp"
#include "query/column.hpp"

namespace quorvel {

struct QueryValue;
class Table;

struct ParsedColumns {
    std::vector<std::shared_ptr<const cond::Column>> columns;
    bool legacy = true;       // every column a plain name or "v.key": read as always
    bool aggregates = false;  // some column aggregates
};

// Reads the column texts (each once, from a bounded cache). A malformed
// column raises ValueError "Invalid query: ... at position N (context)".
bool parse_columns(const std::vector<std::string>& texts, const char* context, ParsedColumns& out);

// The columns as they read the bindings: a column whose text names a bound
// variable (one an earlier with_ made, say) reads that variable.
ParsedColumns bound_names_read(const ParsedColumns& cols, const Table& t);

// The result rows of columns that are not all plain names (after a run).
py::Ref column_rows(const QueryValue& q, const ParsedColumns& cols, bool distinct);

// with_ of columns that are not all plain names: the bindings become one
// column per result column, named by its alias or its text.
bool with_columns(QueryValue& q, const ParsedColumns& cols);

}  // namespace quorvel
