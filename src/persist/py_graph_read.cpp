// Reading a graph file. The text is read once, front to back, building the
// tables and then the nodes and edges that refer to them; a section that
// comes before what it refers to (a hand-written file may order its members
// freely) is checked and skipped, then read again at the end. Nothing is
// handed out unless the whole file is good.
#include <charconv>
#include <string>
#include <vector>

#include "binding/pyclass.hpp"
#include "persist/json.hpp"
#include "persist/py_graph_file.hpp"
#include "persist/py_text.hpp"
#include "persist/type_table.hpp"

namespace quorvel {

using json::Token;
using py::Ref;

namespace {

enum Section { Types, Properties, Nodes, Edges, SectionCount };
constexpr const char* kSectionNames[SectionCount] = {"types", "properties", "nodes", "edges"};

const char* token_name(Token t) noexcept {
    switch (t) {
        case Token::BeginObject:
            return "an object";
        case Token::BeginArray:
            return "an array";
        case Token::String:
            return "a string";
        case Token::Number:
            return "a number";
        case Token::True:
        case Token::False:
            return "a boolean";
        case Token::Null:
            return "null";
        default:
            return "the end of a container";
    }
}

bool starts_value(Token t) noexcept {
    return t != Token::Key && t != Token::EndObject && t != Token::EndArray && t != Token::End &&
           t != Token::Error;
}

class GraphReader {
public:
    GraphReader(std::string_view text, PyObject* source) : text_(text), source_(source) {}

    bool read(Ref& nodes_out, Ref& edges_out) {
        nodes_ = Ref::steal(PyDict_New());
        edges_ = Ref::steal(PyDict_New());
        if (!nodes_ || !edges_) return false;
        json::JsonReader r(text_);
        if (!expect(r, Token::BeginObject, "a graph file is a JSON object")) return false;
        std::size_t offsets[SectionCount] = {};
        bool present[SectionCount] = {}, done[SectionCount] = {};
        bool have_format = false, have_version = false;
        std::size_t end = 0;  // the closing "}", where missing members are reported
        for (;;) {
            Token t = r.next();
            if (t == Token::EndObject) {
                end = r.offset();
                break;
            }
            if (t != Token::Key) return syntax(r);
            const std::string name(r.string());
            const std::size_t at = r.offset();
            int s = 0;
            while (s < SectionCount && name != kSectionNames[s]) ++s;
            if (s == SectionCount) {
                if (name == "format") {
                    if (have_format) return fail(at, "the member \"format\" appears twice");
                    have_format = true;
                    if (r.next() != Token::String || r.string() != kGraphFileFormat)
                        return r.error() ? syntax(r)
                                         : fail(r.offset(), "\"format\" must be \"quorvel-graph\"");
                } else if (name == "version") {
                    if (have_version) return fail(at, "the member \"version\" appears twice");
                    have_version = true;
                    if (!read_version(r)) return false;
                } else {
                    return fail(at, "unknown member \"" + name + "\"");
                }
                continue;
            }
            if (present[s]) return fail(at, "the member \"" + name + "\" appears twice");
            present[s] = true;
            section_ = static_cast<Section>(s);
            if (!expect(r, Token::BeginArray, "expected an array")) return false;
            offsets[s] = r.offset();
            const bool ready = have_format && have_version &&
                               (s < Nodes || (done[Types] && done[Properties])) && (s < Edges || done[Nodes]);
            if (!(ready ? read_section(r) : skip_section(r))) return false;
            done[s] = ready;
            section_ = SectionCount;
        }
        if (r.next() != Token::End) return syntax(r);
        if (!have_format) return fail(end, "the member \"format\" is missing");
        if (!have_version) return fail(end, "the member \"version\" is missing");
        for (int s = 0; s < SectionCount; ++s) {
            section_ = static_cast<Section>(s);
            if (!present[s]) {
                section_ = SectionCount;
                return fail(end, std::string("the member \"") + kSectionNames[s] + "\" is missing");
            }
            if (done[s]) continue;
            json::JsonReader again(text_, offsets[s], true);
            again.next();  // the array's "[", seen before
            if (!read_section(again)) return false;
        }
        nodes_out = std::move(nodes_);
        edges_out = std::move(edges_);
        return true;
    }

private:
    // ---- errors ----

    // ValueError "Invalid graph file 'path' at line 7, column 31
    // (nodes[3].type): reason", the path and the record where known.
    bool fail(std::size_t offset, const std::string& reason) {
        if (PyErr_Occurred()) return false;  // Ctrl-C or no memory: that one stands
        const json::Location at = json::locate(text_, offset);
        std::string where = " at line " + std::to_string(at.line) + ", column " + std::to_string(at.column);
        if (section_ != SectionCount) {
            where += std::string(" (") + kSectionNames[section_];
            if (index_ != npos) where += "[" + std::to_string(index_) + "]";
            if (member_) where += std::string(".") + member_;
            where += ')';
        }
        if (source_)
            PyErr_Format(PyExc_ValueError, "Invalid graph file %R%s: %s", source_, where.c_str(),
                         reason.c_str());
        else
            PyErr_Format(PyExc_ValueError, "Invalid graph file%s: %s", where.c_str(), reason.c_str());
        return false;
    }

    bool syntax(const json::JsonReader& r) {
        return fail(r.offset(), r.error() ? r.error() : "unexpected JSON text here");
    }

    // The next token must be `want`; `what` says what was expected.
    bool expect(json::JsonReader& r, Token want, const char* what) {
        const Token t = r.next();
        if (t == want) return true;
        if (t == Token::Error) return syntax(r);
        return fail(r.offset(), what);
    }

    bool read_version(json::JsonReader& r) {
        const Token t = r.next();
        if (t == Token::Error) return syntax(r);
        if (t != Token::Number || !r.is_integer()) return fail(r.offset(), "\"version\" must be an integer");
        if (r.number() != "1")
            return fail(r.offset(), "unsupported version " + std::string(r.number()) +
                                        " (this version of quorvel reads version 1)");
        return true;
    }

    // An index into a table of `size` entries.
    bool read_index(json::JsonReader& r, std::size_t size, const char* table, std::size_t& out) {
        const Token t = r.next();
        if (t == Token::Error) return syntax(r);
        const std::string_view digits = r.number();
        std::uint64_t v = 0;
        if (t != Token::Number || !r.is_integer() ||
            std::from_chars(digits.data(), digits.data() + digits.size(), v).ec != std::errc() || v >= size) {
            const std::string got = t == Token::Number ? std::string(digits) : token_name(t);
            return fail(r.offset(), std::string("expected an index into \"") + table + "\", which has " +
                                        std::to_string(size) + " entries, got " + got);
        }
        out = static_cast<std::size_t>(v);
        return true;
    }

    // A name that must be valid Unicode (a type's or a term's).
    bool read_name(json::JsonReader& r, std::string& out) {
        const Token t = r.next();
        if (t == Token::Error) return syntax(r);
        if (t != Token::String) return fail(r.offset(), "expected a string");
        if (r.has_surrogate()) return fail(r.offset(), "a name cannot hold a lone surrogate");
        out.assign(r.string());
        return true;
    }

    // ---- sections ----

    // Reads the elements of the current section; the "[" has been read.
    bool read_section(json::JsonReader& r) {
        for (index_ = 0;; ++index_) {
            if (!signals_()) return false;
            const Token t = r.next();
            if (t == Token::EndArray) break;
            if (t == Token::Error) return syntax(r);
            bool ok = false;
            switch (section_) {
                case Types:
                    ok = read_type(r, t);
                    break;
                case Properties:
                    ok = t == Token::BeginObject ? read_dict(r, properties_.emplace_back())
                                                 : fail(r.offset(), "an entry must be an object");
                    break;
                case Nodes:
                    ok =
                        t == Token::BeginObject ? read_node(r) : fail(r.offset(), "a node must be an object");
                    break;
                case Edges:
                    ok = t == Token::BeginObject ? read_edge(r)
                                                 : fail(r.offset(), "an edge must be an object");
                    break;
                case SectionCount:
                    break;
            }
            if (!ok) return false;
        }
        index_ = npos;
        return true;
    }

    // Checks the text of a section read before what it refers to, counting
    // its elements so that an error names the one it is in.
    bool skip_section(json::JsonReader& r) {
        const std::size_t depth = r.depth();
        index_ = 0;
        for (std::size_t count = 0;;) {
            const std::size_t before = r.depth();
            const Token t = r.next();
            if (t == Token::Error) return syntax(r);
            if (before == depth && starts_value(t)) index_ = count++;
            if (r.depth() < depth) break;
            if (!signals_()) return false;
        }
        index_ = npos;
        return true;
    }

    bool read_type(json::JsonReader& r, Token t) {
        if (t == Token::String) {
            if (r.has_surrogate()) return fail(r.offset(), "a name cannot hold a lone surrogate");
            types_.add_variable(std::string(r.string()));
            return true;
        }
        if (t != Token::BeginArray) return fail(r.offset(), "an entry must be a name or [left, right]");
        const std::size_t here = types_.size();
        std::size_t left, right;
        if (!read_index(r, here, "types", left) || !read_index(r, here, "types", right)) return false;
        if (!expect(r, Token::EndArray, "an application is [left, right]")) return false;
        types_.add_application(left, right);
        return true;
    }

    // A JSON object as a new dict; the "{" has been read. Iterative.
    bool read_dict(json::JsonReader& r, Ref& out) {
        out = Ref::steal(PyDict_New());
        if (!out) return false;
        struct Open {
            Ref container;
            Ref key;  // dicts: the key whose value comes next
        };
        std::vector<Open> stack;
        stack.push_back({out.clone(), Ref()});
        while (!stack.empty()) {
            const Token t = r.next();
            Ref value;
            switch (t) {
                case Token::Error:
                    return syntax(r);
                case Token::Key: {
                    Ref key = str_from_bytes(r.string());
                    if (!key) return false;
                    const int present = PyDict_Contains(stack.back().container.get(), key.get());
                    if (present < 0) return false;
                    if (present) return fail(r.offset(), "a key appears twice in one object");
                    stack.back().key = std::move(key);
                    continue;
                }
                case Token::EndObject:
                case Token::EndArray:
                    stack.pop_back();
                    continue;
                case Token::BeginObject:
                    value = Ref::steal(PyDict_New());
                    break;
                case Token::BeginArray:
                    value = Ref::steal(PyList_New(0));
                    break;
                case Token::String:
                    value = str_from_bytes(r.string());
                    break;
                case Token::Number:
                    if (!read_number(r, value)) return false;
                    break;
                case Token::True:
                case Token::False:
                    value = Ref::borrow(t == Token::True ? Py_True : Py_False);
                    break;
                default:
                    value = Ref::borrow(Py_None);
            }
            if (!value) return false;
            Open& top = stack.back();
            if (top.key) {
                if (PyDict_SetItem(top.container.get(), top.key.get(), value.get()) < 0) return false;
                top.key = Ref();
            } else if (PyList_Append(top.container.get(), value.get()) < 0) {
                return false;
            }
            if (t == Token::BeginObject || t == Token::BeginArray) stack.push_back({std::move(value), Ref()});
            if (!signals_()) return false;
        }
        return true;
    }

    bool read_number(json::JsonReader& r, Ref& out) {
        const std::string digits(r.number());
        if (r.is_integer()) {
            long long v = 0;
            if (std::from_chars(digits.data(), digits.data() + digits.size(), v).ec == std::errc()) {
                out = Ref::steal(PyLong_FromLongLong(v));
                return bool(out);
            }
            out = Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
        } else {
            const double d = PyOS_string_to_double(digits.c_str(), nullptr, nullptr);
            if (d == -1.0 && PyErr_Occurred()) return false;
            out = Ref::steal(PyFloat_FromDouble(d));
        }
        if (out) return true;
        // Too many digits for this interpreter's int conversion limit.
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        return fail(r.offset(), "the number has too many digits to read");
    }

    // Reads an object's members; `member` is called with each name and reads
    // that member's value (or fails). Names must be distinct.
    template <class F>
    bool read_members(json::JsonReader& r, F member) {
        std::vector<std::string> seen;
        for (;;) {
            const Token t = r.next();
            if (t == Token::EndObject) return true;
            if (t != Token::Key) return syntax(r);
            std::string name(r.string());
            for (const std::string& s : seen)
                if (s == name) return fail(r.offset(), "the member \"" + name + "\" appears twice");
            const std::size_t at = r.offset();
            if (!member(name, at)) return false;
            seen.push_back(std::move(name));
            member_ = nullptr;
        }
    }

    struct NodeFields {
        std::size_t type = npos, properties = npos;
    };

    // The "type" and "properties" members of a node or an edge's end.
    bool node_member(json::JsonReader& r, const std::string& name, std::size_t at, NodeFields& f) {
        if (name == "type") {
            member_ = "type";
            return read_index(r, types_.size(), "types", f.type);
        }
        if (name == "properties") {
            member_ = "properties";
            return read_index(r, properties_.size(), "properties", f.properties);
        }
        return fail(at, "unknown member \"" + name + "\"");
    }

    bool check_node_fields(const NodeFields& f, std::size_t at) {
        if (f.type == npos) return fail(at, "the member \"type\" is missing");
        if (f.properties == npos) return fail(at, "the member \"properties\" is missing");
        return true;
    }

    NodeValue node_value(const NodeFields& f) {
        return NodeValue(types_[f.type], properties_[f.properties].clone());
    }

    // The "key" member of a node or an edge.
    bool read_key(json::JsonReader& r, Ref& key, std::size_t& at) {
        member_ = "key";
        const Token t = r.next();
        if (t == Token::Error) return syntax(r);
        if (t != Token::String) return fail(r.offset(), "expected a string");
        at = r.offset();
        key = str_from_bytes(r.string());
        return bool(key);
    }

    // Puts a new node or edge in its dict; a key already there is an error.
    bool insert(PyObject* dict, const Ref& key, std::size_t key_at, const Ref& value, const char* what) {
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        if (!value || PyDict_SetItem(dict, key.get(), value.get()) < 0) return false;
        if (PyDict_GET_SIZE(dict) > size) return true;
        member_ = "key";
        return fail(key_at, std::string("an earlier ") + what + " has this key");
    }

    bool read_node(json::JsonReader& r) {
        const std::size_t at = r.offset();
        Ref key;
        std::size_t key_at = 0;
        NodeFields f;
        bool ok = read_members(r, [&](const std::string& name, std::size_t member_at) {
            return name == "key" ? read_key(r, key, key_at) : node_member(r, name, member_at, f);
        });
        if (!ok || !check_node_fields(f, at)) return false;
        if (!key) return fail(at, "the member \"key\" is missing");
        return insert(nodes_.get(), key, key_at, py::make_object<NodeValue>(node_type(), node_value(f)),
                      "node");
    }

    // "start" or "end": a node's key, or {"type": t, "properties": p}.
    bool read_end(json::JsonReader& r, NodeValue& out) {
        const Token t = r.next();
        if (t == Token::String) {
            Ref key = str_from_bytes(r.string());
            if (!key) return false;
            PyObject* found = PyDict_GetItemWithError(nodes_.get(), key.get());
            if (!found) return PyErr_Occurred() ? false : fail(r.offset(), "no node has this key");
            out = py::value_of<NodeValue>(found);
            return true;
        }
        if (t == Token::Error) return syntax(r);
        if (t != Token::BeginObject)
            return fail(r.offset(), "expected a node's key or {\"type\": ..., \"properties\": ...}");
        const std::size_t at = r.offset();
        const char* which = member_;
        NodeFields f;
        bool ok = read_members(r, [&](const std::string& name, std::size_t member_at) {
            return node_member(r, name, member_at, f);
        });
        member_ = which;
        if (!ok || !check_node_fields(f, at)) return false;
        out = node_value(f);
        return true;
    }

    bool read_edge(json::JsonReader& r) {
        const std::size_t at = r.offset();
        Ref key;
        std::size_t key_at = 0;
        std::string term;
        bool have_term = false, have_start = false, have_end = false;
        NodeFields f;
        EdgeValue edge;
        bool ok = read_members(r, [&](const std::string& name, std::size_t member_at) {
            if (name == "key") return read_key(r, key, key_at);
            if (name == "term") {
                member_ = "term";
                have_term = true;
                return read_name(r, term);
            }
            if (name == "start" || name == "end") {
                const bool start = name == "start";
                member_ = start ? "start" : "end";
                (start ? have_start : have_end) = true;
                return read_end(r, start ? edge.start : edge.end);
            }
            return node_member(r, name, member_at, f);
        });
        if (!ok || !check_node_fields(f, at)) return false;
        for (auto [have, name] :
             {std::pair{bool(key), "key"}, {have_term, "term"}, {have_start, "start"}, {have_end, "end"}})
            if (!have) return fail(at, std::string("the member \"") + name + "\" is missing");
        edge.term = std::make_shared<const Term>(std::move(term), types_[f.type]);
        edge.properties = properties_[f.properties].clone();
        return insert(edges_.get(), key, key_at, py::make_object<EdgeValue>(edge_type(), std::move(edge)),
                      "edge");
    }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    std::string_view text_;
    PyObject* source_;
    py::Ticker signals_;
    // Where reading stands, for errors.
    Section section_ = SectionCount;
    std::size_t index_ = npos;
    const char* member_ = nullptr;

    TypeTableReader types_;
    std::vector<Ref> properties_;
    Ref nodes_, edges_;
};

}  // namespace

bool read_graph_file(std::string_view text, PyObject* source, Ref& nodes, Ref& edges) {
    return GraphReader(text, source).read(nodes, edges);
}

}  // namespace quorvel
