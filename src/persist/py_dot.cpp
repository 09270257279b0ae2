// Graph.to_dot(name="quorvel"): the graph as Graphviz DOT text.
//
// One box per stored node, labelled with its type and properties, one arrow
// per edge, labelled with its term, the term's type and its properties. DOT
// names are the graph's keys. An edge's end is drawn at the first stored
// node of its type; an end no stored node has the type of (a node never
// stored) gets a dashed box of its own, named by its uid.
#include <unordered_map>
#include <unordered_set>

#include "binding/args.hpp"
#include "binding/dict_walk.hpp"
#include "binding/pyclass.hpp"
#include "persist/dot.hpp"
#include "persist/py_persist.hpp"
#include "persist/py_snapshot.hpp"
#include "persist/py_text.hpp"
#include "persist/type_table.hpp"

namespace quorvel {

using py::Ref;

namespace {

class DotWriter {
public:
    explicit DotWriter(std::string& out) : out_(out) {}

    bool write(const GraphSnapshot& s, std::string_view name) {
        out_ += "digraph ";
        dot::append_quoted(out_, name);
        out_ +=
            " {\n"
            "    rankdir=LR;\n"
            "    node [shape=box, style=\"rounded\", fontname=\"Helvetica\"];\n"
            "    edge [fontname=\"Helvetica\", fontsize=10];\n";
        std::unordered_map<std::uint32_t, std::size_t> node_of_type;
        for (std::size_t i = 0; i < s.nodes.size(); ++i) {
            const NodeRecord& r = s.nodes[i];
            node_of_type.try_emplace(types_.add(r.node.type), i);
            std::string_view key;
            if (!str_bytes(r.key.get(), scratch_, key)) return false;
            const std::string id(key);
            if (!write_box(id, r.node, false) || !signals_()) return false;
        }
        for (const EdgeRecord& r : s.edges) {
            std::string ends[2];
            int which = 0;
            for (const NodeValue* end : {&r.edge.start, &r.edge.end}) {
                std::string& id = ends[which++];
                auto it = node_of_type.find(types_.add(end->type));
                if (it != node_of_type.end()) {
                    std::string_view key;
                    if (!str_bytes(s.nodes[it->second].key.get(), scratch_, key)) return false;
                    id.assign(key);
                } else {
                    id = end->uid();
                    if (drawn_.insert(id).second && !write_box(id, *end, true)) return false;
                }
            }
            std::string label = r.edge.term->name() + " : ";
            r.edge.term->type()->append_text(label);
            if (!append_properties(label, r.edge.properties)) return false;
            out_ += "    ";
            dot::append_quoted(out_, ends[0]);
            out_ += " -> ";
            dot::append_quoted(out_, ends[1]);
            out_ += " [label=";
            dot::append_quoted(out_, label);
            out_ += "];\n";
            if (!signals_()) return false;
        }
        out_ += "}\n";
        return true;
    }

private:
    bool write_box(const std::string& id, const NodeValue& node, bool dashed) {
        std::string label = node.type->text();
        if (!append_properties(label, node.properties)) return false;
        out_ += "    ";
        dot::append_quoted(out_, id);
        out_ += " [label=";
        dot::append_quoted(out_, label);
        out_ += dashed ? ", style=\"rounded,dashed\"];\n" : "];\n";
        return true;
    }

    // One line "key: value" per property, each side as str() gives it.
    bool append_properties(std::string& label, const Ref& dict) {
        if (!dict) return true;
        return py::for_each_item(dict.get(), [&](Ref& key, Ref& value) {
            label += '\n';
            if (!append_str(label, key.get())) return false;
            label += ": ";
            return append_str(label, value.get());
        });
    }

    bool append_str(std::string& label, PyObject* obj) {
        Ref text = Ref::steal(PyObject_Str(obj));
        if (!text) return false;
        std::string_view bytes;
        if (!str_bytes(text.get(), scratch_, bytes)) return false;
        label += bytes;
        return true;
    }

    std::string& out_;
    std::string scratch_;
    TypeTable types_;  // equal types get one index: how ends find their node
    std::unordered_set<std::string> drawn_;
    py::Ticker signals_;
};

}  // namespace

PyObject* graph_to_dot(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref name_arg;
    if (!py::bind_args("to_dot", args, kwargs, {{"name", false}}, &name_arg)) return nullptr;
    std::string name = "quorvel";
    if (name_arg && !py::to_utf8(name_arg.get(), "name", name)) return nullptr;
    GraphSnapshot snapshot;
    if (!take_snapshot(py::value_of<GraphValue>(self), snapshot)) return nullptr;
    if (snapshot.foreign_key) {
        raise_foreign_entry(snapshot, "draw");
        return nullptr;
    }
    std::string text;
    if (!DotWriter(text).write(snapshot, name)) return nullptr;
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace quorvel
