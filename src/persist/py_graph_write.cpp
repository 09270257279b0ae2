// Writing a graph file: the tables first, then the records that refer to
// them, each entry on a line of its own.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "binding/dict_walk.hpp"
#include "persist/json.hpp"
#include "persist/py_graph_file.hpp"
#include "persist/py_text.hpp"
#include "persist/type_table.hpp"

namespace quorvel {

using py::Ref;

bool OutputSink::write_out() {
    const int error = without_interpreter_lock([this]() noexcept {
        const char* p = text_.data();
        std::size_t left = text_.size();
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        return 0;
    });
    if (error) {
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_);
        return false;
    }
    text_.clear();
    return true;
}

namespace {

// Who holds a properties dict, to name in an error.
struct Holder {
    enum Kind : std::uint8_t { Node, Edge, Start, End } kind;
    std::uint32_t record;
};

class GraphWriter {
public:
    GraphWriter(const GraphSnapshot& s, OutputSink& out) : s_(s), out_(out), text_(out.text()) {}

    bool write() {
        if (!collect()) return false;
        text_ += "{\"format\":";
        json::append_string(text_, kGraphFileFormat);
        text_ += ",\"version\":";
        json::append_int(text_, kGraphFileVersion);
        return write_types() && write_properties() && write_nodes() && write_edges() && out_.finish();
    }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // An edge's end: the stored node it shares its type and dict with, or
    // itself (its type and dict indices).
    struct End {
        std::uint32_t node = kNone, type = 0, props = 0;
    };
    struct EdgeIndices {
        std::uint32_t type, props;
        End start, end;
    };
    struct PropsEntry {
        PyObject* dict;                    // null: an empty dict of its own
        Holder holder;                     // the first to hold it
        std::uint32_t first_node = kNone;  // the first stored node holding it
    };

    std::uint32_t add_properties(const Ref& dict, Holder holder) {
        const auto next = static_cast<std::uint32_t>(props_.size());
        if (dict) {
            auto [it, added] = props_index_.try_emplace(dict.get(), next);
            if (!added) return it->second;
        }
        props_.push_back({dict.get(), holder});
        return next;
    }

    // Most ends share their type handle and dict with the node they were
    // copied from, the first stored node holding that dict: one lookup. Other
    // stored nodes sharing a dict are found in `shared_`.
    End find_end(const NodeValue& node, Holder holder) {
        End end;
        end.props = add_properties(node.properties, holder);
        const std::uint32_t first = props_[end.props].first_node;
        if (node.properties && first != kNone && s_.nodes[first].node.type.same(node.type)) {
            end.node = first;
            return end;
        }
        end.type = types_.add(node.type);
        if (first != kNone && node_types_[first] == end.type) {
            end.node = first;
        } else if (!shared_.empty()) {
            auto it = shared_.find({end.type, node.properties.get()});
            if (it != shared_.end()) end.node = it->second;
        }
        return end;
    }

    bool collect() {
        const std::size_t nodes = s_.nodes.size(), edges = s_.edges.size();
        types_.reserve(nodes);
        props_.reserve(nodes + edges);
        props_index_.reserve(nodes + edges);
        node_types_.reserve(nodes);
        node_props_.reserve(nodes);
        for (std::uint32_t i = 0; i < nodes; ++i) {
            if (!signals_()) return false;
            const NodeValue& n = s_.nodes[i].node;
            const std::uint32_t type = types_.add(n.type),
                                props = add_properties(n.properties, {Holder::Node, i});
            node_types_.push_back(type);
            node_props_.push_back(props);
            if (!n.properties) continue;
            std::uint32_t& first = props_[props].first_node;
            if (first == kNone)
                first = i;
            else if (node_types_[first] != type)
                shared_.try_emplace({type, n.properties.get()}, i);
        }
        edges_.reserve(edges);
        for (std::uint32_t i = 0; i < edges; ++i) {
            if (!signals_()) return false;
            const EdgeValue& e = s_.edges[i].edge;
            EdgeIndices x;
            x.type = types_.add(e.term->type());
            x.start = find_end(e.start, {Holder::Start, i});
            x.end = find_end(e.end, {Holder::End, i});
            x.props = add_properties(e.properties, {Holder::Edge, i});
            edges_.push_back(x);
        }
        return true;
    }

    bool write_types() {
        text_ += ",\n\"types\":[";
        for (std::size_t i = 0; i < types_.size(); ++i) {
            text_ += i ? ",\n" : "\n";
            if (types_.is_application(i)) {
                text_ += '[';
                json::append_int(text_, types_.left(i));
                text_ += ',';
                json::append_int(text_, types_.right(i));
                text_ += ']';
            } else {
                json::append_string(text_, types_.name(i));
            }
            if (!signals_() || !out_.spill()) return false;
        }
        text_ += "\n]";
        return true;
    }

    bool write_properties() {
        text_ += ",\n\"properties\":[";
        for (std::size_t i = 0; i < props_.size(); ++i) {
            text_ += i ? ",\n" : "\n";
            holder_ = props_[i].holder;
            if (!write_dict(props_[i].dict) || !signals_() || !out_.spill()) return false;
        }
        text_ += "\n]";
        return true;
    }

    // A str JSON can hold exactly (see json::append_string), or false.
    bool write_str(PyObject* s, bool& exact) {
        std::string_view bytes;
        if (!str_bytes(s, scratch_, bytes)) return false;
        exact = json::append_string(text_, bytes);
        return true;
    }

    bool write_key(const Ref& key) {
        bool exact;
        if (!write_str(key.get(), exact)) return false;
        if (exact) return true;
        PyErr_Format(PyExc_TypeError,
                     "cannot save the key %R: JSON reads its two lone surrogates back as one character",
                     key.get());
        return false;
    }

    bool write_nodes() {
        text_ += ",\n\"nodes\":[";
        for (std::size_t i = 0; i < s_.nodes.size(); ++i) {
            text_ += i ? ",\n{\"key\":" : "\n{\"key\":";
            if (!write_key(s_.nodes[i].key)) return false;
            text_ += ",\"type\":";
            json::append_int(text_, node_types_[i]);
            text_ += ",\"properties\":";
            json::append_int(text_, node_props_[i]);
            text_ += '}';
            if (!signals_() || !out_.spill()) return false;
        }
        text_ += "\n]";
        return true;
    }

    bool write_end(const End& end) {
        if (end.node != kNone) return write_key(s_.nodes[end.node].key);
        text_ += "{\"type\":";
        json::append_int(text_, end.type);
        text_ += ",\"properties\":";
        json::append_int(text_, end.props);
        text_ += '}';
        return true;
    }

    bool write_edges() {
        text_ += ",\n\"edges\":[";
        for (std::size_t i = 0; i < s_.edges.size(); ++i) {
            const EdgeValue& e = s_.edges[i].edge;
            const EdgeIndices& x = edges_[i];
            text_ += i ? ",\n{\"key\":" : "\n{\"key\":";
            if (!write_key(s_.edges[i].key)) return false;
            text_ += ",\"term\":";
            json::append_string(text_, e.term->name());
            text_ += ",\"type\":";
            json::append_int(text_, x.type);
            text_ += ",\"start\":";
            if (!write_end(x.start)) return false;
            text_ += ",\"end\":";
            if (!write_end(x.end)) return false;
            text_ += ",\"properties\":";
            json::append_int(text_, x.props);
            text_ += '}';
            if (!signals_() || !out_.spill()) return false;
        }
        text_ += "\n]}\n";
        return true;
    }

    // ---- property values ----

    // "node <uid>", "edge <uid>", "the start node of edge <uid>".
    std::string holder_text() const {
        const std::uint32_t i = holder_.record;
        switch (holder_.kind) {
            case Holder::Node:
                return "node " + s_.nodes[i].node.uid();
            case Holder::Edge:
                return "edge " + s_.edges[i].edge.uid();
            case Holder::Start:
                return "the start node of edge " + s_.edges[i].edge.uid();
            case Holder::End:
                break;
        }
        return "the end node of edge " + s_.edges[i].edge.uid();
    }

    bool refuse_key(PyObject* key) {
        PyErr_Format(PyExc_TypeError, "cannot save the properties of %s: keys must be str, got %R",
                     holder_text().c_str(), key);
        return false;
    }

    // A value of property `key_` cannot be written; `nested`: it stands
    // inside a list or dict of that property.
    bool refuse_value(PyObject* value, bool nested, const char* problem) {
        std::string what = nested ? "it holds a " : "a ";
        what += Py_TYPE(value)->tp_name;
        PyErr_Format(PyExc_TypeError, "cannot save property %R of %s: %s%s", key_.get(),
                     holder_text().c_str(), what.c_str(), problem);
        return false;
    }

    bool write_dict(PyObject* dict) {
        if (!dict) {
            text_ += "{}";
            return true;
        }
        if (!PyDict_CheckExact(dict)) {
            PyErr_Format(PyExc_TypeError, "cannot save the properties of %s: a %s is not a plain dict",
                         holder_text().c_str(), Py_TYPE(dict)->tp_name);
            return false;
        }
        active_.clear();
        active_.insert(dict);
        text_ += '{';
        bool first = true;
        const bool ok = py::for_each_item(dict, [&](Ref& key, Ref& value) {
            if (!PyUnicode_CheckExact(key.get())) return refuse_key(key.get());
            if (!first) text_ += ',';
            first = false;
            key_ = key.clone();
            if (!write_key(key)) return false;
            text_ += ':';
            return write_value(value.get());
        });
        text_ += '}';
        return ok;
    }

    // One container being written.
    struct Frame {
        Ref container;
        std::optional<py::DictWalk> dict;  // set for a dict
        Py_ssize_t index = 0;              // for a list: the next item
        bool first = true;
    };

    // Scalars are written at once; a list or dict opens a frame.
    bool write_scalar_or_open(PyObject* v, bool nested, std::vector<Frame>& stack) {
        if (v == Py_None) {
            text_ += "null";
        } else if (v == Py_True) {
            text_ += "true";
        } else if (v == Py_False) {
            text_ += "false";
        } else if (PyLong_CheckExact(v)) {
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (!overflow) {
                json::append_int(text_, n);
            } else {
                Ref digits = Ref::steal(PyObject_Str(v));
                Py_ssize_t len = 0;
                const char* d = digits ? PyUnicode_AsUTF8AndSize(digits.get(), &len) : nullptr;
                if (!d) return false;
                text_.append(d, static_cast<std::size_t>(len));
            }
        } else if (PyFloat_CheckExact(v)) {
            const double d = PyFloat_AS_DOUBLE(v);
            if (!std::isfinite(d))
                return refuse_value(v, nested, " that is not finite, which JSON cannot hold");
            json::append_double(text_, d);
        } else if (PyUnicode_CheckExact(v)) {
            bool exact;
            if (!write_str(v, exact)) return false;
            if (!exact)
                return refuse_value(v, nested, " whose two lone surrogates JSON reads back as one character");
        } else if (PyList_CheckExact(v) || PyDict_CheckExact(v)) {
            if (!active_.insert(v).second) return refuse_value(v, nested, " that contains itself");
            Frame& f = stack.emplace_back();
            f.container = Ref::borrow(v);
            if (PyDict_CheckExact(v)) {
                f.dict.emplace(v);
                text_ += '{';
            } else {
                text_ += '[';
            }
        } else {
            return refuse_value(v, nested,
                                ", which is not a JSON value (str, int, float, bool, None, list, "
                                "or dict with str keys)");
        }
        return true;
    }

    // Iterative: lists nested a million deep take heap, not stack.
    bool write_value(PyObject* root) {
        std::vector<Frame> stack;
        if (!write_scalar_or_open(root, false, stack)) return false;
        Ref key, item;
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.dict) {
                const auto step = f.dict->next(key, item);
                if (step == py::DictWalk::Error) return false;
                if (step == py::DictWalk::Item) {
                    if (!PyUnicode_CheckExact(key.get()))
                        return refuse_value(f.container.get(), stack.size() > 1,
                                            " whose keys are not all str");
                    if (!f.first) text_ += ',';
                    f.first = false;
                    if (!write_key(key)) return false;
                    text_ += ':';
                    if (!write_scalar_or_open(item.get(), true, stack)) return false;
                    continue;
                }
                text_ += '}';
            } else if (f.index < PyList_GET_SIZE(f.container.get())) {
                item = Ref::borrow(PyList_GET_ITEM(f.container.get(), f.index));
                ++f.index;
                if (!f.first) text_ += ',';
                f.first = false;
                if (!write_scalar_or_open(item.get(), true, stack)) return false;
                continue;
            } else {
                text_ += ']';
            }
            active_.erase(stack.back().container.get());
            stack.pop_back();
            if (!signals_()) return false;
        }
        return true;
    }

    const GraphSnapshot& s_;
    OutputSink& out_;
    std::string& text_;
    std::string scratch_;
    py::Ticker signals_;

    TypeTable types_;
    std::vector<std::uint32_t> node_types_, node_props_;
    std::vector<EdgeIndices> edges_;
    // Distinct dicts in order of first use.
    std::vector<PropsEntry> props_;
    std::unordered_map<PyObject*, std::uint32_t> props_index_;
    // (type index, dict) -> stored node, for nodes sharing a dict with an
    // earlier node of another type.
    std::unordered_map<std::pair<std::uint32_t, PyObject*>, std::uint32_t, PairHash> shared_;

    Holder holder_{Holder::Node, 0};
    Ref key_, value_;                       // the property being written
    std::unordered_set<PyObject*> active_;  // containers open around the value being written
};

}  // namespace

bool write_graph_file(const GraphSnapshot& snapshot, OutputSink& out) {
    return GraphWriter(snapshot, out).write();
}

}  // namespace quorvel
