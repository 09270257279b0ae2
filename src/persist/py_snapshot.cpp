#include "persist/py_snapshot.hpp"

#include "binding/args.hpp"
#include "binding/dict_walk.hpp"
#include "binding/pyclass.hpp"

namespace quorvel {

using py::Ref;

namespace {

// Walks one of the graph's dicts into `out`. An entry that is not a str key
// holding an object of class `cls` is noted, and no more are copied.
template <class Record, class Value>
bool walk(const Ref& dict, PyTypeObject* cls, Value Record::*value_field, bool in_edges,
          std::vector<Record>& out, GraphSnapshot& snapshot) {
    if (!cls) return false;
    if (!dict) return true;  // only after the collector cleared a cycle through the graph
    out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict.get())));
    py::Ticker signals;
    return py::for_each_item(dict.get(), [&](Ref& key, Ref& value) {
        if (snapshot.foreign_key) return signals();  // nothing more is copied
        if (!PyUnicode_CheckExact(key.get()) || Py_TYPE(value.get()) != cls) {
            snapshot.foreign_key = key.clone();
            snapshot.foreign_value = value.clone();
            snapshot.foreign_in_edges = in_edges;
            return true;
        }
        auto* b = py::box<Value>(value.get());
        py::SharedGuard guard(b->borrow, cls->tp_name);
        if (!guard) return false;
        // A null properties dict stays null: nothing else holds that dict.
        out.push_back(Record{key.clone(), value.clone(), {}});
        out.back().*value_field = b->value;
        return signals();
    });
}

}  // namespace

bool take_snapshot(const GraphValue& graph, GraphSnapshot& out) {
    if (!walk(graph.nodes, node_type(), &NodeRecord::node, false, out.nodes, out)) return false;
    if (out.foreign_key) return true;
    return walk(graph.edges, edge_type(), &EdgeRecord::edge, true, out.edges, out);
}

void raise_foreign_entry(const GraphSnapshot& s, const char* what) {
    const char* dict = s.foreign_in_edges ? "edges" : "nodes";
    if (!PyUnicode_CheckExact(s.foreign_key.get()))
        PyErr_Format(PyExc_TypeError, "cannot %s graph.%s[%R]: keys must be str, not %s", what, dict,
                     s.foreign_key.get(), Py_TYPE(s.foreign_key.get())->tp_name);
    else
        PyErr_Format(PyExc_TypeError, "cannot %s graph.%s[%R]: expected %s, got %s", what, dict,
                     s.foreign_key.get(), s.foreign_in_edges ? "Edge" : "Node",
                     Py_TYPE(s.foreign_value.get())->tp_name);
}

}  // namespace quorvel
