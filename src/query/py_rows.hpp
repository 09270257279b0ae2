// Row operations over a query's bindings.
//
// The bindings form a table: row i holds the i-th value of every variable
// that has one. The operations here select, reorder or project whole rows,
// so values that shared a row keep sharing it; a variable with no value in a
// row holds a hole there (std::monostate). Trailing holes are trimmed so the
// longest list is always the number of rows.
#pragma once

#include <string>
#include <vector>

#include "query/py_query.hpp"

namespace quorvel {

// Rebuilds every binding from the rows listed, in that order.
void keep_rows(QueryValue& q, const std::vector<std::size_t>& rows);

// A run of consecutive order_by operations: one stable sort whose first
// operation is the primary key. Returns false with a Python exception set.
bool execute_order_by(QueryValue& q, const std::vector<const OrderByOp*>& keys);
void execute_skip(QueryValue& q, std::uint64_t count);
void execute_limit(QueryValue& q, std::uint64_t count);
void execute_with(QueryValue& q, const WithOp& op);

// The value of `variable` in `row`, or null for a hole / no such row.
const QueryResult* row_value(const QueryValue& q, const std::string& variable, std::size_t row);

// A new Node or Edge object for a bound value (not a hole).
py::Ref result_to_python(const QueryResult& r);

// The properties dict of a bound node or edge (borrowed; may be null).
PyObject* properties_of(const QueryResult& r);

// Property `key` of the value of `variable` in `row`: a new reference, or
// null with no exception when the row has no value or no such property.
// Returns false with an exception set when the lookup itself raised.
bool row_property(const QueryValue& q, const std::string& variable, const std::string& key, std::size_t row,
                  py::Ref& out);

}  // namespace quorvel
