#include "query/py_rows.hpp"

#include <algorithm>
#include <unordered_map>

#include "binding/args.hpp"
#include "binding/compare.hpp"

namespace quorvel {

using py::Ref;

void keep_rows(QueryValue& q, const std::vector<std::size_t>& rows) {
    for (auto& [name, list] : q.vars()) {
        Binding next;
        next.reserve(rows.size());
        for (std::size_t r : rows) next.push_back(r < list.size() ? list[r] : QueryResult{});
        while (!next.empty() && std::holds_alternative<std::monostate>(next.back())) next.pop_back();
        list = std::move(next);
    }
}

const QueryResult* row_value(const QueryValue& q, const std::string& variable, std::size_t row) {
    auto it = q.vars().find(variable);
    if (it == q.vars().end() || row >= it->second.size()) return nullptr;
    const QueryResult* r = &it->second[row];
    return std::holds_alternative<std::monostate>(*r) ? nullptr : r;
}

PyObject* properties_of(const QueryResult& r) {
    if (const NodeValue* n = std::get_if<NodeValue>(&r)) return n->properties.get();
    if (const EdgeValue* e = std::get_if<EdgeValue>(&r)) return e->properties.get();
    return nullptr;
}

Ref result_to_python(const QueryResult& r) {
    if (const NodeValue* n = std::get_if<NodeValue>(&r)) return node_to_python(*n);
    return edge_to_python(std::get<EdgeValue>(r));
}

bool row_property(const QueryValue& q, const std::string& variable, const std::string& key, std::size_t row,
                  Ref& out) {
    out = Ref();
    const QueryResult* r = row_value(q, variable, row);
    if (!r) return true;
    Ref dict = Ref::borrow(properties_of(*r));
    if (!dict) return true;
    Ref k = py::str(key);
    if (!k) return false;
    PyObject* found = PyDict_GetItemWithError(dict.get(), k.get());
    if (!found) return !PyErr_Occurred();
    out = Ref::borrow(found);
    return true;
}

namespace {

enum class Order { Less, Equal, Greater, Error };

// Sort groups: numbers, then strings, then everything else.
int kind_group(PyObject* v) {
    if (PyLong_Check(v) || PyFloat_Check(v)) return 0;
    if (PyUnicode_Check(v)) return 1;
    return 2;
}

// a < b by Python's `<`; a TypeError counts as "not less".
int less(PyObject* a, PyObject* b) {
    int r = py::compare(a, b, Py_LT);
    if (r < 0 && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return 0;
    }
    return r;
}

// Ascending order of one key; nulls last.
Order compare_key(PyObject* a, PyObject* b) {
    if (!a || !b) return !a && !b ? Order::Equal : (!a ? Order::Greater : Order::Less);
    int ga = kind_group(a), gb = kind_group(b);
    if (ga != gb) return ga < gb ? Order::Less : Order::Greater;
    int lt = less(a, b);
    if (lt < 0) return Order::Error;
    if (lt) return Order::Less;
    int gt = less(b, a);
    if (gt < 0) return Order::Error;
    return gt ? Order::Greater : Order::Equal;
}

}  // namespace

bool execute_order_by(QueryValue& q, const std::vector<const OrderByOp*>& keys) {
    const std::size_t n = longest_binding(q);
    if (n < 2 || keys.empty()) return true;
    // Keys are read once per row before sorting; they are held strongly,
    // since comparing them runs arbitrary __lt__ code.
    std::vector<Ref> values(n * keys.size());
    for (std::size_t row = 0; row < n; ++row)
        for (std::size_t k = 0; k < keys.size(); ++k) {
            Ref v;
            if (!row_property(q, keys[k]->variable, keys[k]->key, row, v)) return false;
            if (v.get() == Py_None) v = Ref();
            values[row * keys.size() + k] = std::move(v);
        }
    bool failed = false;
    // True when row a must come strictly before row b.
    auto before = [&](std::size_t a, std::size_t b) {
        if (failed) return false;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            Order o = compare_key(values[a * keys.size() + k].get(), values[b * keys.size() + k].get());
            if (o == Order::Error) {
                failed = true;
                return false;
            }
            if (o == Order::Equal) continue;
            return (o == Order::Less) == keys[k]->ascending;
        }
        return false;
    };
    // A bottom-up merge sort written out by hand: user-defined __lt__ need
    // not be a consistent order, and this loop stays in bounds whatever the
    // comparisons answer (unlike library sorts that rely on sentinels).
    std::vector<std::size_t> order(n), buffer(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    for (std::size_t width = 1; width < n && !failed; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            std::size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
            std::size_t i = lo, j = mid, out = lo;
            while (i < mid && j < hi) buffer[out++] = before(order[j], order[i]) ? order[j++] : order[i++];
            while (i < mid) buffer[out++] = order[i++];
            while (j < hi) buffer[out++] = order[j++];
        }
        order.swap(buffer);
    }
    if (failed) return false;
    keep_rows(q, order);
    return true;
}

void execute_skip(QueryValue& q, std::uint64_t count) {
    const std::size_t n = longest_binding(q);
    std::vector<std::size_t> rows;
    for (std::size_t i = count < n ? static_cast<std::size_t>(count) : n; i < n; ++i) rows.push_back(i);
    keep_rows(q, rows);
}

void execute_limit(QueryValue& q, std::uint64_t count) {
    const std::size_t n = longest_binding(q);
    if (count >= n) return;
    std::vector<std::size_t> rows(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = i;
    keep_rows(q, rows);
}

void execute_with(QueryValue& q, const WithOp& op) {
    for (auto it = q.vars().begin(); it != q.vars().end();) {
        if (std::find(op.variables.begin(), op.variables.end(), it->first) == op.variables.end())
            it = q.vars().erase(it);
        else
            ++it;
    }
    // The remaining lists are already trimmed, so the row count is simply
    // their longest length.
}

}  // namespace quorvel

namespace quorvel {

namespace {

// One requested column: a bound variable, or a property projection.
struct Column {
    Ref key;                           // the row dict's key
    const Binding* list = nullptr;     // a bound variable
    std::string variable, property;    // a projection "variable.property"
    bool projection = false;
};

// What a cell holds, for comparing rows: a graph element by kind and uid,
// or a projected Python value.
struct Cell {
    bool present = false;
    int kind = 0;  // 1 node, 2 edge, 3 projected value
    Digest digest{};
    Ref value;
};

std::size_t hash_row(const std::vector<Cell>& cells) {
    std::size_t h = 1469598103934665603ULL;
    for (const Cell& c : cells) {
        h = (h ^ (c.present ? static_cast<std::size_t>(c.kind) : 0)) * 1099511628211ULL;
        if (c.present && c.kind != 3)
            for (int i = 0; i < 8; ++i) h = (h ^ c.digest[i]) * 1099511628211ULL;
    }
    return h;
}

// 1 equal, 0 different, -1 error (from a projected value's __eq__).
int rows_equal(const std::vector<Cell>& a, const std::vector<Cell>& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].present != b[i].present || a[i].kind != b[i].kind) return 0;
        if (!a[i].present) continue;
        if (a[i].kind != 3) {
            if (a[i].digest != b[i].digest) return 0;
            continue;
        }
        int eq = py::equal(a[i].value.get(), b[i].value.get());
        if (eq <= 0) return eq;
    }
    return 1;
}

}  // namespace

Ref form_rows(const QueryValue& q, const std::vector<std::string>& variables, bool distinct) {
    Ref rows = Ref::steal(PyList_New(0));
    if (!rows || q.vars().empty()) return rows;
    std::vector<Column> columns;
    std::size_t n = 0;
    for (const std::string& name : variables) {
        Column c;
        c.key = py::str(name);
        if (!c.key) return Ref();
        auto it = q.vars().find(name);
        if (it != q.vars().end()) {
            c.list = &it->second;
            n = std::max(n, c.list->size());
        } else if (auto dot = name.find('.'); dot != std::string::npos) {
            c.projection = true;
            c.variable = name.substr(0, dot);
            c.property = name.substr(dot + 1);
            auto v = q.vars().find(c.variable);
            if (v != q.vars().end()) n = std::max(n, v->second.size());
        }
        columns.push_back(std::move(c));
    }
    // Distinct rows are bucketed by their elements' uids; projected values
    // are compared with == within a bucket.
    std::unordered_multimap<std::size_t, std::vector<Cell>> seen;
    for (std::size_t i = 0; i < n; ++i) {
        Ref row = Ref::steal(PyDict_New());
        if (!row) return Ref();
        std::vector<Cell> cells(distinct ? columns.size() : 0);
        for (std::size_t col = 0; col < columns.size(); ++col) {
            const Column& c = columns[col];
            Ref obj;
            Cell cell;
            if (c.list) {
                if (i >= c.list->size() || std::holds_alternative<std::monostate>((*c.list)[i])) continue;
                const QueryResult& r = (*c.list)[i];
                obj = result_to_python(r);
                if (!obj) return Ref();
                if (distinct) {
                    cell.kind = std::holds_alternative<NodeValue>(r) ? 1 : 2;
                    cell.digest = cell.kind == 1 ? std::get<NodeValue>(r).type->digest()
                                                 : std::get<EdgeValue>(r).term->digest();
                }
            } else if (c.projection) {
                if (!row_property(q, c.variable, c.property, i, obj)) return Ref();
                if (!obj) continue;
                cell.kind = 3;
                cell.value = obj.clone();
            } else {
                continue;
            }
            if (PyDict_SetItem(row.get(), c.key.get(), obj.get()) < 0) return Ref();
            if (distinct) {
                cell.present = true;
                cells[col] = std::move(cell);
            }
        }
        if (PyDict_GET_SIZE(row.get()) == 0) continue;
        if (distinct) {
            std::size_t h = hash_row(cells);
            bool duplicate = false;
            auto [lo, hi] = seen.equal_range(h);
            for (auto it = lo; it != hi && !duplicate; ++it) {
                int eq = rows_equal(it->second, cells);
                if (eq < 0) return Ref();
                duplicate = eq == 1;
            }
            if (duplicate) continue;
            seen.emplace(h, std::move(cells));
        }
        if (PyList_Append(rows.get(), row.get()) < 0) return Ref();
    }
    return rows;
}

}  // namespace quorvel
