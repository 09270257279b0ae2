// Type tables in pickles: a flat list in which a str is a variable and two
// ints in a row are an application of two earlier entries. The last entry is
// the type a pickled Application stands for.
#pragma once

#include "binding/ref.hpp"
#include "persist/type_table.hpp"

namespace quorvel {

py::Ref type_table_to_list(const TypeTable& table);

// Reads such a list (or tuple); anything malformed is a ValueError.
bool type_table_from_list(PyObject* list, TypeTableReader& out);

// Application._from_table(table): the type of the table's last entry. How
// pickles of types rebuild them.
PyObject* type_from_table(PyObject* cls, PyObject* table);

}  // namespace quorvel
