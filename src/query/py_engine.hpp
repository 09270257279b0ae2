// Internals shared by the operators of a query run (py_match.cpp,
// py_write.cpp, py_run.cpp, py_rows.cpp, py_condition.cpp).
//
// Python code runs inside these operators (property values' __eq__ and
// __bool__, hashing of dict keys, finalizers of released objects), so every
// object used across such a call is held by an owned reference, dicts are
// walked with DictWalk or through an index that is checked to be current
// before every read, and bindings are copied before they are iterated. The
// query itself cannot change under a run: every Query method holds its
// exclusive borrow.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "binding/dict_walk.hpp"
#include "query/plan.hpp"
#include "query/py_query.hpp"

namespace quorvel {

// Every few thousand steps of a loop that grows with the graph or the rows:
// a chance for Ctrl-C (any pending signal handler) to stop the run.
class Ticker {
public:
    bool ok() {
        if ((++n_ & 0xFFF) != 0) return true;
        return PyErr_CheckSignals() == 0;
    }

private:
    std::uint32_t n_ = 0;
};

// A value met in graph.nodes / graph.edges, taken as a bound value: it must
// be a Node (Edge) object -- the cast TypeError otherwise -- that is not
// being changed (the borrow error otherwise). An edge's two end nodes get
// their dicts too, so that binding them later shares what the edge holds.
bool take_node(PyObject* value, Bound& out);
bool take_edge(PyObject* value, Bound& out);
// The checks of take_edge alone.
bool ready_edge(PyObject* value);

// The candidates of a node pattern, in dict order (py_match.cpp).
bool node_candidates(const QueryValue& q, const NodePatternValue& p, Column& out);

// Walks graph.edges in dict order from entry position `pos` (a whole walk:
// 0), `size` being the dict's size when the walk began. `pass_over(edge)`
// may rule out a well-formed edge that is not being changed, running no
// Python code; every other entry is checked (TypeError, borrow error) and
// handed to `visit(edge_object, stop)`, which returns false on an error and
// sets `stop` to end the walk early.
template <class PassOver, class Visit>
bool walk_edges(PyObject* edges, Py_ssize_t size, Py_ssize_t pos, PassOver&& pass_over, Visit&& visit) {
    py::DictWalk walk(edges, size, pos);
    PyTypeObject* cls = edge_type();
    py::Ref key, value;
    Ticker tick;
    for (;;) {
        auto step = walk.next(key, value);
        if (step == py::DictWalk::Error) return false;
        if (step == py::DictWalk::Done) return true;
        if (!tick.ok()) return false;
        PyObject* v = value.get();
        if (Py_TYPE(v) == cls && py::box<EdgeValue>(v)->borrow.state >= 0 && pass_over(py::value_of<EdgeValue>(v)))
            continue;
        if (!ready_edge(v)) return false;
        bool stop = false;
        if (!visit(v, stop)) return false;
        if (stop) return true;
    }
}

// The same walk, made through `candidates` -- ordinals, in dict order, of
// the edges of a current `index` that `pass_over` might not rule out, less
// those `skip(ordinal)` rules out by the index's types alone -- when there is
// an index: it visits the same edges, in the same order. When user code run
// by `visit` changes the dict, the walk goes on from the entry after the last
// one visited, as a walk would.
template <class Skip, class PassOver, class Visit>
bool visit_edges(PyObject* edges, const EdgeIndex* index, const std::vector<std::uint32_t>* candidates, Skip&& skip,
                 PassOver&& pass_over, Visit&& visit) {
    const Py_ssize_t size = PyDict_GET_SIZE(edges);
    Py_ssize_t resume = 0;
    if (index) {
        Ticker tick;
        for (std::uint32_t ordinal : *candidates) {
            if (skip(ordinal)) continue;
            if (!tick.ok()) return false;
            if (!index_current(edges, *index)) return walk_edges(edges, size, resume, pass_over, visit);
            const Py_ssize_t pos = index->pos[ordinal];
            py::Ref edge = py::Ref::borrow(entry_at(edges, pos));
            resume = pos + 1;
            if (pass_over(py::value_of<EdgeValue>(edge.get()))) continue;
            if (!ready_edge(edge.get())) return false;
            bool stop = false;
            if (!visit(edge.get(), stop)) return false;
            if (stop) return true;
        }
        // The walk would still read on (and fail if the size changed).
        if (!index_current(edges, *index)) return walk_edges(edges, size, resume, pass_over, visit);
        return true;
    }
    return walk_edges(edges, size, 0, pass_over, visit);
}

// Binds `values` to `variable` (replacing), if there is a variable.
void bind(QueryValue& q, const std::optional<std::string>& variable, Column values);

// The value of `variable` in `row`, or null for a hole / no such row / a
// counted column.
const Bound* row_value(const Table& t, const std::string& variable, std::size_t row);

// The first value bound to `name` that is not a hole, or null.
const Bound* first_value(const Table& t, const std::string& name);

// The operators. `demand` says how much of a match the rest of the queue
// can see.
bool execute_match(QueryValue& q, const MatchOp& op, const plan::Demand& demand);
bool execute_create(QueryValue& q, const CreateOp& op);
bool execute_merge(QueryValue& q, const MergeOp& op);
bool execute_set(QueryValue& q, const SetOp& op);
bool execute_delete(QueryValue& q, const DeleteOp& op);

// Row operations (py_rows.cpp): a run of consecutive order_by operations is
// one stable sort whose first operation is the primary key.
bool execute_order_by(QueryValue& q, const std::vector<const OrderByOp*>& keys);
void execute_skip(QueryValue& q, std::uint64_t count);
void execute_limit(QueryValue& q, std::uint64_t count);
void execute_with(QueryValue& q, const WithOp& op);

// Property `key` (an exact str) of a bound value: a new reference, or null
// with no exception when the value has no such property. Returns false with
// an exception set when the lookup itself raised.
bool bound_property(const Bound& b, PyObject* key, py::Ref& out);

// The error of a dict changed under a walk that cannot go on.
bool dict_changed(PyObject* dict, Py_ssize_t size_before);

}  // namespace quorvel
