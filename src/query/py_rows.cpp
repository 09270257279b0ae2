// Row operations and the forming of result rows.
#include <algorithm>
#include <new>
#include <unordered_map>

#include "binding/args.hpp"
#include "binding/compare.hpp"
#include "errors/py_errors.hpp"
#include "query/py_engine.hpp"

namespace quorvel {

using py::Ref;

Ref Bound::to_python() const {
    switch (kind_) {
        case Kind::Node:
        case Kind::EdgeStart:
        case Kind::EdgeEnd:
            return node_to_python(node_value());
        case Kind::Edge:
            return edge_to_python(edge_copy());
        case Kind::Value:
            return holder_.clone();
        case Kind::EdgeList: {
            // A new list of new Edge objects, in path order.
            const Py_ssize_t n = PyTuple_GET_SIZE(holder_.get());
            Ref list = Ref::steal(PyList_New(n));
            if (!list) return list;
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* edge = PyTuple_GET_ITEM(holder_.get(), i);
                const EdgeValue& e = py::value_of<EdgeValue>(edge);
                Ref copy = edge_to_python(EdgeValue(e.term, e.start, e.end, e.properties.clone()));
                if (!copy) return Ref();
                PyList_SET_ITEM(list.get(), i, copy.release());
            }
            return list;
        }
        case Kind::Hole:
            break;
    }
    return Ref::borrow(Py_None);
}

bool bound_property(const Bound& b, PyObject* key, Ref& out) {
    out = Ref();
    if (!b.is_element()) return true;
    Ref dict = Ref::borrow(b.properties());
    if (!dict) return true;
    PyObject* found = PyDict_GetItemWithError(dict.get(), key);
    if (!found) return !PyErr_Occurred();
    out = Ref::borrow(found);
    return true;
}

namespace {

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

}  // namespace

// Ascending order of one key; nulls last.
Order compare_key(PyObject* a, PyObject* b) {
    if (!a || !b) return !a && !b ? Order::Equal : (!a ? Order::Greater : Order::Less);
    int ga = kind_group(a), gb = kind_group(b);
    if (ga != gb) return ga < gb ? Order::Less : Order::Greater;
    // Two exact ints that fit a long, two exact floats or two exact strs
    // order as Python orders them, with no call into Python.
    if (long x, y; py::both_longs(a, b, x, y))
        return x < y ? Order::Less : (y < x ? Order::Greater : Order::Equal);
    PyTypeObject* ta = Py_TYPE(a);
    if (ta == Py_TYPE(b)) {
        if (ta == &PyFloat_Type) {
            const double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
            return x < y ? Order::Less : (y < x ? Order::Greater : Order::Equal);  // NaN: neither
        } else if (ta == &PyUnicode_Type) {
            const int c = PyUnicode_Compare(a, b);
            return c < 0 ? Order::Less : (c > 0 ? Order::Greater : Order::Equal);
        }
    }
    int lt = less(a, b);
    if (lt < 0) return Order::Error;
    if (lt) return Order::Less;
    int gt = less(b, a);
    if (gt < 0) return Order::Error;
    return gt ? Order::Greater : Order::Equal;
}

bool execute_order_by(QueryValue& q, const std::vector<const OrderByOp*>& keys) {
    // Without a key a variable sorts by its own values, which nodes and
    // edges are not.
    for (const OrderByOp* k : keys) {
        const Column* c = k->key ? nullptr : q.vars().find(k->variable);
        if (c && std::any_of(c->begin(), c->end(), [](const Bound& b) { return b.is_element(); })) {
            raise(QuorvelError::invalid_query(
                "order_by without a key needs values, not the node or edge '" + k->variable + "'",
                "order_by"));
            return false;
        }
    }
    const std::size_t n = q.vars().rows();
    if (n < 2 || keys.empty()) return true;
    // Keys are read once per row before sorting; they are held strongly,
    // since comparing them runs arbitrary __lt__ code.
    std::vector<Ref> names(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k)
        if (keys[k]->key && !(names[k] = py::str(*keys[k]->key))) return false;
    std::vector<Ref> values(n * keys.size());
    Ticker tick;
    for (std::size_t row = 0; row < n; ++row)
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (!tick.ok()) return false;
            Ref v;
            const Bound* b = row_value(q.vars(), keys[k]->variable, row);
            if (b && !names[k]) {
                // No key: the variable's own values.
                v = b->to_python();
                if (!v) return false;
            } else if (b && !bound_property(*b, names[k].get(), v)) {
                return false;
            }
            if (v.get() == Py_None) v = Ref();
            values[row * keys.size() + k] = std::move(v);
        }
    bool failed = false;
    std::size_t comparisons = 0;
    // True when row a must come strictly before row b.
    auto before = [&](std::size_t a, std::size_t b) {
        if (failed) return false;
        // Comparisons may each take long (user __lt__, long texts): check often.
        if ((++comparisons & 0x3F) == 0 && PyErr_CheckSignals() < 0) {
            failed = true;
            return false;
        }
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
        if (PyErr_CheckSignals() < 0) return false;
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
    return q.vars().keep_rows(order);
}

bool execute_skip(QueryValue& q, std::uint64_t count) {
    const std::size_t n = q.vars().rows();
    if (count == 0 || n == 0) return true;
    std::vector<std::size_t> rows;
    for (std::size_t i = count < n ? static_cast<std::size_t>(count) : n; i < n; ++i) rows.push_back(i);
    return q.vars().keep_rows(rows);
}

void execute_limit(QueryValue& q, std::uint64_t count) {
    if (count < q.vars().rows()) q.vars().keep_prefix(static_cast<std::size_t>(count));
}

bool execute_with(QueryValue& q, const WithOp& op) {
    if (!op.columns.legacy) return with_columns(q, op.columns);
    q.vars().keep_only(op.variables);
    return true;
}

namespace {

// One requested column: a bound variable, or a property projection.
struct Requested {
    Ref key;                       // the row dict's key
    const Column* list = nullptr;  // a bound variable
    std::string variable;          // a projection "variable.property"
    Ref property;
    bool projection = false;
};

}  // namespace

namespace {

std::size_t mix(std::size_t h, std::size_t v) {
    return (h ^ v) * 1099511628211ULL;
}

}  // namespace

// The hash of a row whose values are all hashable. Equal rows hash alike:
// elements by uid, values by Python's hash (equal values hash alike).
std::size_t hash_row(const std::vector<Cell>& cells) {
    std::size_t h = 1469598103934665603ULL;
    for (const Cell& c : cells) {
        h = mix(h, c.kind);
        if (c.kind == Cell::Node || c.kind == Cell::Edge || c.kind == Cell::EdgeList)
            h = mix(h, DigestHash()(c.digest));
        else if (c.kind == Cell::Value)
            h = mix(h, static_cast<std::size_t>(c.hash));
    }
    return h;
}

// 1 equal, 0 different, -1 error (from a projected value's __eq__).
int rows_equal(const std::vector<Cell>& a, const std::vector<Cell>& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind) return 0;
        if (a[i].kind == Cell::Absent) continue;
        if (a[i].kind != Cell::Value) {
            if (a[i].digest != b[i].digest) return 0;
            continue;
        }
        int eq = py::equal(a[i].value.get(), b[i].value.get());
        if (eq <= 0) return eq;
    }
    return 1;
}

// The cell of a projected value: hashed when it can be (a TypeError from
// hash() means unhashable; any other error stops the run).
bool value_cell(Ref v, Cell& cell) {
    cell.kind = Cell::Value;
    cell.hash = PyObject_Hash(v.get());
    if (cell.hash == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        cell.hashable = false;
    }
    cell.value = std::move(v);
    return true;
}

bool element_cell(const Bound& b, Cell& cell) {
    if (b.is_element()) {
        cell.kind = b.is_node() ? Cell::Node : Cell::Edge;
        cell.digest = b.digest();
        return true;
    }
    if (b.kind() == Bound::Kind::EdgeList) {
        // The same edges (by uid), in the same order: one digest over theirs.
        std::string uids;
        const Py_ssize_t n = PyTuple_GET_SIZE(b.object());
        uids.reserve(static_cast<std::size_t>(n) * 32);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Digest& d = py::value_of<EdgeValue>(PyTuple_GET_ITEM(b.object(), i)).term->edge_digest();
            uids.append(reinterpret_cast<const char*>(d.data()), d.size());
        }
        cell.kind = Cell::EdgeList;
        cell.digest = sha256_of("edges:", uids);
        return true;
    }
    return value_cell(Ref::borrow(b.object()), cell);
}

namespace {

// A slot for a row hash: all of its bits spread into the low ones, since
// Python hashes of small ints are the ints themselves.
std::size_t spread(std::size_t h) {
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9ULL;
    return h ^ (h >> 29);
}

}  // namespace

bool KeySet::insert(std::vector<Cell>&& cells, std::size_t& index, bool& fresh) {
    // A row's == may run Python code, but none of it can reach this set.
    auto equal_to = [&](std::size_t row) -> int {
        const int eq = rows_equal(keys_[row], cells);
        if (eq == 1) {
            index = row;
            fresh = false;
        }
        return eq;
    };
    // A row with an unhashable value may equal a row of any hash (a list
    // equals no hashable value, but a bytearray equals bytes): it is told
    // apart from every row kept, and every later row from it.
    const bool loose = std::any_of(cells.begin(), cells.end(),
                                   [](const Cell& c) { return c.kind == Cell::Value && !c.hashable; });
    if (loose) {
        for (std::size_t row = 0; row < keys_.size(); ++row)
            if (const int eq = equal_to(row); eq != 0) return eq > 0;
        index = keys_.size();
        fresh = true;
        loose_.push_back(index);
        keys_.push_back(std::move(cells));
        return true;
    }
    if ((keys_.size() + 1) * 2 > slots_.size()) {
        std::vector<std::pair<std::size_t, std::size_t>> grown(slots_.empty() ? 16 : slots_.size() * 2);
        const std::size_t mask = grown.size() - 1;
        for (const auto& slot : slots_) {
            if (!slot.second) continue;
            std::size_t at = spread(slot.first) & mask;
            while (grown[at].second) at = (at + 1) & mask;
            grown[at] = slot;
        }
        slots_.swap(grown);
    }
    const std::size_t h = hash_row(cells);
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = spread(h) & mask;
    for (; slots_[at].second; at = (at + 1) & mask)
        if (slots_[at].first == h)
            if (const int eq = equal_to(slots_[at].second - 1); eq != 0) return eq > 0;
    for (std::size_t row : loose_)
        if (const int eq = equal_to(row); eq != 0) return eq > 0;
    index = keys_.size();
    fresh = true;
    keys_.push_back(std::move(cells));
    slots_[at] = {h, index + 1};
    return true;
}

bool keep_row(PyObject* rows, PyObject* row, KeySet* seen, std::vector<Cell>&& cells) {
    if (PyDict_GET_SIZE(row) == 0) return true;
    if (seen) {
        std::size_t at = 0;
        bool fresh = false;
        if (!seen->insert(std::move(cells), at, fresh)) return false;
        if (!fresh) return true;
    }
    return PyList_Append(rows, row) == 0;
}

Ref form_rows(const QueryValue& q, const std::vector<std::string>& variables, bool distinct) {
    Ref rows = Ref::steal(PyList_New(0));
    const Table& t = q.vars();
    if (!rows || t.empty()) return rows;
    std::vector<Requested> columns;
    std::size_t n = 0;
    for (const std::string& name : variables) {
        Requested c;
        c.key = py::str(name);
        if (!c.key) return Ref();
        if (const Column* list = t.find(name)) {
            c.list = list;
            n = std::max(n, list->size());
        } else if (auto dot = name.find('.'); dot != std::string::npos) {
            c.projection = true;
            c.variable = name.substr(0, dot);
            c.property = py::str(std::string_view(name).substr(dot + 1));
            if (!c.property) return Ref();
            if (const Column* v = t.find(c.variable)) n = std::max(n, v->size());
        }
        columns.push_back(std::move(c));
    }
    KeySet seen;  // distinct rows
    Ticker tick;
    try {
        for (std::size_t i = 0; i < n; ++i) {
            if (!tick.ok()) return Ref();
            Ref row = Ref::steal(PyDict_New());
            if (!row) return Ref();
            std::vector<Cell> cells(distinct ? columns.size() : 0);
            for (std::size_t col = 0; col < columns.size(); ++col) {
                const Requested& c = columns[col];
                Ref obj;
                Cell cell;
                if (c.list) {
                    if (i >= c.list->size() || (*c.list)[i].hole()) continue;
                    const Bound& b = (*c.list)[i];
                    obj = b.to_python();
                    if (!obj) return Ref();
                    if (distinct && !element_cell(b, cell)) return Ref();
                } else if (c.projection) {
                    const Bound* b = row_value(t, c.variable, i);
                    if (!b || !bound_property(*b, c.property.get(), obj)) {
                        if (PyErr_Occurred()) return Ref();
                        continue;
                    }
                    if (!obj) continue;
                    if (distinct && !value_cell(obj.clone(), cell)) return Ref();
                } else {
                    continue;
                }
                if (PyDict_SetItem(row.get(), c.key.get(), obj.get()) < 0) return Ref();
                if (distinct) cells[col] = std::move(cell);
            }
            if (!keep_row(rows.get(), row.get(), distinct ? &seen : nullptr, std::move(cells))) return Ref();
        }
    } catch (const std::bad_alloc&) {
        PyErr_Format(PyExc_MemoryError, "out of memory after forming %zd rows", PyList_GET_SIZE(rows.get()));
        return Ref();
    }
    return rows;
}

}  // namespace quorvel
