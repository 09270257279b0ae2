// Node, edge and path pattern values and their Python classes.
//
// A pattern holds Python objects (its required property values), so its
// values live on the Python side and report those objects to the cyclic GC.
// Copying a pattern copies its texts and its property list and shares
// everything else: the type and term handles, the compiled schemas and the
// property value objects themselves.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/ref.hpp"
#include "graph/py_graph.hpp"
#include "patterns/path_parser.hpp"
#include "term/term.hpp"
#include "type_schema/py_type_schema.hpp"
#include "types/type.hpp"

namespace quorvel {

// Required property values: key text -> the caller's value object, in the
// order of the dict they were taken from. Each key is also kept as a str
// object, so that testing a node looks keys up without making new strings.
// An entry from a pattern text may name a parameter (`{name: $who}`)
// instead: its value is null until the engine puts the parameter's value in
// a copy, and nothing may test against it before.
class PatternProperties {
public:
    using Entry = std::pair<std::string, py::Ref>;

    PatternProperties() = default;
    PatternProperties(const PatternProperties& o);
    PatternProperties(PatternProperties&&) noexcept = default;
    PatternProperties& operator=(const PatternProperties& o);
    PatternProperties& operator=(PatternProperties&&) noexcept = default;

    // Appends an entry; `key_object` is `key` as a str (a new one is made
    // when null). Returns false with a Python exception set.
    bool add(std::string key, py::Ref value, py::Ref key_object = py::Ref());
    // Appends an entry whose value is the parameter `name` (without '$').
    bool add_parameter(std::string key, std::string name);

    bool empty() const noexcept { return entries_.empty(); }
    std::size_t size() const noexcept { return entries_.size(); }
    const std::vector<Entry>& entries() const noexcept { return entries_; }
    std::vector<Entry>::const_iterator begin() const noexcept { return entries_.begin(); }
    std::vector<Entry>::const_iterator end() const noexcept { return entries_.end(); }
    // The key of entry i as an exact str.
    PyObject* key_object(std::size_t i) const noexcept { return key_objects_[i].get(); }
    // The parameter entry i stands for, or null for an ordinary entry.
    const std::string* parameter(std::size_t i) const noexcept {
        return i < parameters_.size() && !parameters_[i].empty() ? &parameters_[i] : nullptr;
    }
    bool has_parameters() const noexcept { return !parameters_.empty(); }
    // Puts each parameter's value (from the dict `values`, which may be null)
    // in its entry. A parameter without a value raises NameError naming it.
    bool resolve(PyObject* values, const char* context);

    int traverse(visitproc visit, void* arg) const;
    void clear();

private:
    std::vector<Entry> entries_;
    std::vector<py::Ref> key_objects_;  // parallel to entries_
    // Parameter names, parallel to entries_ once one entry is a parameter
    // (empty for the ordinary entries); empty while none is.
    std::vector<std::string> parameters_;
};

struct NodePatternValue {
    // Provided, so that making one in a vector does not clear its bytes first.
    NodePatternValue() noexcept {}

    std::optional<std::string> variable;
    TypeRef type_obj;  // null: any type
    std::optional<TypeSchemaValue> type_schema;
    PatternProperties properties;

    int traverse(visitproc visit, void* arg) const { return properties.traverse(visit, arg); }
    void clear() { properties.clear(); }
};

struct EdgePatternValue {
    EdgePatternValue() noexcept {}  // as NodePatternValue's

    std::optional<std::string> variable;
    TermRef term;  // null: no term
    std::optional<TypeSchemaValue> term_type_schema;
    PatternProperties properties;
    std::string direction = "forward";  // "forward", "backward", "any", or whatever the caller gave
    std::optional<Hops> hops;           // a variable-length edge from a pattern text; absent: one hop

    int traverse(visitproc visit, void* arg) const { return properties.traverse(visit, arg); }
    void clear() { properties.clear(); }
};

struct PathPatternValue {
    std::vector<NodePatternValue> nodes;
    std::vector<EdgePatternValue> edges;  // edge i stands between nodes i and i+1

    int traverse(visitproc visit, void* arg) const;
    void clear();
};

// None or absent: no variable; a str: its text; anything else: TypeError
// naming `param`.
bool python_to_variable(PyObject* obj, const char* param, std::optional<std::string>& out);

// Construction routines shared by the Python constructors and the query
// builders. `variable` and `direction` are already converted; the object
// arguments may be null or None (absent). Conversions, in order: the
// properties must be a dict, then `type` / `term`, then the schema (a str or
// a TypeSchema; anything else means no schema), then the property entries
// (str keys). Returns false with a Python exception set.
bool new_node_pattern(std::optional<std::string> variable, PyObject* type, PyObject* type_schema,
                      PyObject* properties, NodePatternValue& out);
bool new_edge_pattern(std::optional<std::string> variable, PyObject* term, PyObject* term_type_schema,
                      PyObject* properties, std::string direction, EdgePatternValue& out);

// The node test. Sets `result` and returns true, or returns false with a
// Python exception set (raised by a property value's __eq__ or __bool__).
// A property lookup that fails counts as a mismatch. The caller keeps
// `pattern` alive and unchanged for the call (its borrow guard does); the
// node's dict and every compared value are held here.
bool node_pattern_matches(const NodePatternValue& pattern, const NodeValue& node, bool& result);

// The node test on a node given by its parts.
bool node_matches(const NodePatternValue& pattern, const TypeRef& type, const py::Ref& properties,
                  bool& result);

// The parts of the tests that run no Python code: the node's type against
// the pattern's type and schema; the edge's term against the pattern's term
// and term type schema.
bool node_type_fits(const NodePatternValue& pattern, const TypeRef& type);
bool edge_term_fits(const EdgePatternValue& pattern, const EdgeValue& edge);

// The same test for edges: the term (equal name and type) if the pattern has
// one, then the term type schema, then the properties, compared as for nodes.
bool edge_pattern_matches(const EdgePatternValue& pattern, const EdgeValue& edge, bool& result);

// The property test when it can be answered without running Python code
// (every key of the dict an exact str, every compared value a str, int,
// float, bool or None): 1 or 0 as the test would answer, -1 when it cannot.
int properties_match_plain(const PatternProperties& properties, PyObject* dict);

// The property part of both tests, against the dict `holder` refers to.
bool properties_match(const PatternProperties& properties, const py::Ref& holder, bool& result);

// A pattern text read once: its parse and its compiled schemas, shared by
// every pattern made from the same text. Holds no Python objects.
struct CompiledPath {
    ParsedPath parsed;
    std::vector<std::optional<TypeSchemaValue>> node_schemas, edge_schemas;
};

// Parses and compiles `text`; with `cached`, a text seen before is taken from
// a bounded cache. A parse error is raised as ValueError
// "Invalid pattern '...': reason" and null returned.
std::shared_ptr<const CompiledPath> compile_path(std::string_view text, bool cached);

// Builds the patterns of a compiled path (property map literals made Python
// values). Returns false with a Python exception set.
bool path_pattern_from_compiled(const CompiledPath& compiled, PathPatternValue& out);

// compile_path, then the patterns. Uncached, the patterns are built straight
// from the parse, their schemas taken from a cache of compiled type parts.
bool parse_path_pattern(std::string_view text, PathPatternValue& out, bool cached = false);

PyTypeObject* node_pattern_type();
PyTypeObject* edge_pattern_type();
PyTypeObject* path_pattern_type();

// Copy a value out of a Python pattern object; another object raises
// TypeError naming `param` (only the class expected when `param` is null).
bool python_to_node_pattern(PyObject* obj, const char* param, NodePatternValue& out);
bool python_to_edge_pattern(PyObject* obj, const char* param, EdgePatternValue& out);
bool python_to_path_pattern(PyObject* obj, const char* param, PathPatternValue& out);

py::Ref node_pattern_to_python(NodePatternValue v);
py::Ref edge_pattern_to_python(EdgePatternValue v);
py::Ref path_pattern_to_python(PathPatternValue v);

// Appends `None` or `Some("...")` with the text quoted and escaped.
void append_tagged_text(std::string& out, const std::optional<std::string>& text);

}  // namespace quorvel
