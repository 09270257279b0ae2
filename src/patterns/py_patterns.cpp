// Pattern values: copying, GC support, the construction routines shared by
// the Python constructors and the query builders, the node test, and the
// conversion of a parsed path into pattern values.
#include "patterns/py_patterns.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "binding/args.hpp"
#include "binding/compare.hpp"
#include "binding/dict_keys.hpp"
#include "binding/dict_walk.hpp"
#include "errors/py_errors.hpp"
#include "term/py_term.hpp"
#include "text/py_literal.hpp"
#include "text/text_cache.hpp"
#include "text/unicode_tables.hpp"
#include "text/utf8.hpp"
#include "types/py_types.hpp"

namespace quorvel {

using py::Ref;

// ---- PatternProperties -------------------------------------------------------

PatternProperties::PatternProperties(const PatternProperties& o) : parameters_(o.parameters_) {
    entries_.reserve(o.entries_.size());
    key_objects_.reserve(o.key_objects_.size());
    for (const Entry& e : o.entries_) entries_.emplace_back(e.first, e.second.clone());
    for (const Ref& k : o.key_objects_) key_objects_.push_back(k.clone());
}

PatternProperties& PatternProperties::operator=(const PatternProperties& o) {
    PatternProperties tmp(o);
    *this = std::move(tmp);
    return *this;
}

bool PatternProperties::add(std::string key, Ref value, Ref key_object) {
    if (!key_object || !PyUnicode_CheckExact(key_object.get())) {
        key_object = py::str(key);
        if (!key_object) return false;
    }
    entries_.reserve(entries_.size() + 1);
    key_objects_.reserve(key_objects_.size() + 1);
    if (has_parameters()) parameters_.reserve(parameters_.size() + 1);
    entries_.emplace_back(std::move(key), std::move(value));
    key_objects_.push_back(std::move(key_object));
    if (has_parameters()) parameters_.emplace_back();
    return true;
}

bool PatternProperties::add_parameter(std::string key, std::string name) {
    parameters_.reserve(entries_.size() + 1);
    if (!add(std::move(key), Ref())) return false;
    parameters_.resize(entries_.size());
    parameters_.back() = std::move(name);
    return true;
}

bool PatternProperties::resolve(PyObject* values, const char* context) {
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        if (parameters_[i].empty()) continue;
        PyObject* found = nullptr;
        if (values) {
            Ref key = py::str(parameters_[i]);
            if (!key) return false;
            found = PyDict_GetItemWithError(values, key.get());  // str keys only: no Python code
            if (!found && PyErr_Occurred()) return false;
        }
        if (!found) {
            raise_missing_parameter(parameters_[i], context);
            return false;
        }
        entries_[i].second = Ref::borrow(found);
    }
    parameters_.clear();
    return true;
}

int PatternProperties::traverse(visitproc visit, void* arg) const {
    // The keys are exact str objects, which cannot be part of a cycle.
    for (const Entry& e : entries_) QV_VISIT(e.second);
    return 0;
}

void PatternProperties::clear() {
    // Empty the object before releasing: a finalizer run by the release must
    // find it consistent.
    std::vector<Entry> entries = std::move(entries_);
    std::vector<Ref> keys = std::move(key_objects_);
    entries_.clear();
    key_objects_.clear();
    parameters_.clear();
}

// ---- PathPatternValue --------------------------------------------------------

int PathPatternValue::traverse(visitproc visit, void* arg) const {
    for (const NodePatternValue& n : nodes)
        if (int r = n.traverse(visit, arg)) return r;
    for (const EdgePatternValue& e : edges)
        if (int r = e.traverse(visit, arg)) return r;
    return 0;
}

void PathPatternValue::clear() {
    std::vector<NodePatternValue> n = std::move(nodes);
    std::vector<EdgePatternValue> e = std::move(edges);
    nodes.clear();
    edges.clear();
}

// ---- Construction --------------------------------------------------------------

namespace {

bool given(PyObject* o) noexcept {
    return o && o != Py_None;
}

// A str becomes a schema, a TypeSchema is shared, anything else means none.
bool convert_schema(PyObject* obj, const char* param, std::optional<TypeSchemaValue>& out) {
    if (!given(obj)) return true;
    if (PyUnicode_Check(obj)) {
        std::string text;
        if (!py::to_utf8(obj, param, text)) return false;
        out.emplace(std::move(text));
    } else if (const TypeSchemaValue* schema = as_type_schema(obj)) {
        out = *schema;
    }
    return true;
}

bool convert_properties(PyObject* dict, PatternProperties& out) {
    if (!given(dict)) return true;
    return py::for_each_item(dict, [&](Ref& key, Ref& value) {
        std::string text;
        if (!PyUnicode_Check(key.get())) {
            PyErr_Format(PyExc_TypeError, "argument 'properties': keys must be str, got %s",
                         Py_TYPE(key.get())->tp_name);
            return false;
        }
        if (!py::to_utf8(key.get(), "properties", text)) return false;
        return out.add(std::move(text), std::move(value), std::move(key));
    });
}

bool check_properties(PyObject* properties) {
    return !given(properties) || py::check_dict(properties, "properties");
}

}  // namespace

bool python_to_variable(PyObject* obj, const char* param, std::optional<std::string>& out) {
    out.reset();
    if (!given(obj)) return true;
    std::string text;
    if (!py::to_utf8(obj, param, text)) return false;
    out = std::move(text);
    return true;
}

bool new_node_pattern(std::optional<std::string> variable, PyObject* type, PyObject* type_schema,
                      PyObject* properties, NodePatternValue& out) {
    if (!check_properties(properties)) return false;
    NodePatternValue v;
    v.variable = std::move(variable);
    if (given(type) && !python_to_type(type, v.type_obj)) return false;
    if (!convert_schema(type_schema, "type_schema", v.type_schema)) return false;
    if (!convert_properties(properties, v.properties)) return false;
    out = std::move(v);
    return true;
}

bool new_edge_pattern(std::optional<std::string> variable, PyObject* term, PyObject* term_type_schema,
                      PyObject* properties, std::string direction, EdgePatternValue& out) {
    if (!check_properties(properties)) return false;
    EdgePatternValue v;
    v.variable = std::move(variable);
    v.direction = std::move(direction);
    if (given(term) && !python_to_term(term, nullptr, v.term)) return false;
    if (!convert_schema(term_type_schema, "term_type_schema", v.term_type_schema)) return false;
    if (!convert_properties(properties, v.properties)) return false;
    out = std::move(v);
    return true;
}

// ---- The node test -------------------------------------------------------------

int properties_match_plain(const PatternProperties& properties, PyObject* dict) {
    if (properties.empty()) return 1;
    if (!dict || !PyDict_Check(dict)) return 0;
    if (!py::keys_are_exact_str(dict)) return -1;
    const std::size_t n = properties.size();
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* found = PyDict_GetItemWithError(dict, properties.key_object(i));
        if (!found) return PyErr_Occurred() ? -1 : 0;
        PyObject* expected = properties.entries()[i].second.get();
        if (!expected || !py::plain_value(found) || !py::plain_value(expected)) return -1;
        const int eq = py::plain_equal(found, expected);
        if (eq < 0) {
            PyErr_Clear();
            return -1;
        }
        if (!eq) return 0;
    }
    return 1;
}

bool properties_match(const PatternProperties& properties, const Ref& holder, bool& result) {
    result = false;
    if (properties.empty()) {
        result = true;
        return true;
    }
    if (int plain = properties_match_plain(properties, holder.get()); plain >= 0) {
        result = plain == 1;
        return true;
    }
    // User __eq__ may replace the holder's dict or empty it; hold the dict,
    // the key, the found value and the expected value ourselves.
    Ref dict = holder.clone();
    if (!dict || !PyDict_Check(dict.get())) return true;
    const std::size_t n = properties.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (const std::string* name = properties.parameter(i)) {
            PyErr_Format(PyExc_ValueError, "parameter $%s has no value", name->c_str());
            return false;
        }
        Ref key = Ref::borrow(properties.key_object(i));
        Ref expected = properties.entries()[i].second.clone();
        Ref found = Ref::borrow(PyDict_GetItemWithError(dict.get(), key.get()));
        if (!found) {
            PyErr_Clear();  // a lookup that raises counts as a missing key
            return true;
        }
        int truth = py::equal(found.get(), expected.get());
        if (truth < 0) return false;
        if (!truth) return true;
    }
    result = true;
    return true;
}

bool node_type_fits(const NodePatternValue& pattern, const TypeRef& type) {
    if (pattern.type_obj && !(type && type == pattern.type_obj)) return false;
    return !pattern.type_schema || (type && pattern.type_schema->matches_type(*type));
}

bool edge_term_fits(const EdgePatternValue& pattern, const EdgeValue& edge) {
    if (!edge.term) return false;
    if (pattern.term && !(*edge.term == *pattern.term)) return false;
    return !pattern.term_type_schema || pattern.term_type_schema->matches_type(*edge.term->type());
}

bool node_matches(const NodePatternValue& pattern, const TypeRef& type, const Ref& properties, bool& result) {
    result = false;
    if (!node_type_fits(pattern, type)) return true;
    return properties_match(pattern.properties, properties, result);
}

bool node_pattern_matches(const NodePatternValue& pattern, const NodeValue& node, bool& result) {
    return node_matches(pattern, node.type, node.properties, result);
}

bool edge_pattern_matches(const EdgePatternValue& pattern, const EdgeValue& edge, bool& result) {
    result = false;
    if (!edge_term_fits(pattern, edge)) return true;
    return properties_match(pattern.properties, edge.properties, result);
}

// ---- Parsed paths ----------------------------------------------------------------

namespace {

bool map_to_properties(const std::vector<text::MapEntry>& map, PatternProperties& out) {
    for (const text::MapEntry& entry : map) {
        if (entry.value.kind == text::Literal::Kind::Parameter) {
            if (!out.add_parameter(entry.key, entry.value.text)) return false;
            continue;
        }
        Ref value = literal_to_python(entry.value);
        if (!value || !out.add(entry.key, std::move(value))) return false;
    }
    return true;
}

// Compiled schemas by type part. Pattern texts repeat a few type parts
// (`Person`, `$* -> B$`, ...) again and again, and a compiled schema never
// changes, so parsing shares them instead of compiling each one anew: an
// open-addressing table, emptied when half full, keeping type parts of up to
// 256 bytes. Runs under the interpreter lock.
class SchemaCache {
public:
    TypeSchemaValue get(std::string_view type) {
        const std::uint64_t hash = hash_of(type);
        std::size_t i = hash & kMask;
        for (; slots_[i].value; i = (i + 1) & kMask)
            if (slots_[i].hash == hash && same(slots_[i].type, type)) return *slots_[i].value;
        if (type.size() > kLongest) return TypeSchemaValue(type_part_schema(type));
        if (used_ >= kSlots / 2) {
            for (Slot& slot : slots_) slot.value.reset();
            used_ = 0;
            i = hash & kMask;
        }
        Slot& slot = slots_[i];
        slot.value.emplace(type_part_schema(type));
        slot.type = type;
        slot.hash = hash;
        ++used_;
        return *slot.value;
    }

private:
    static constexpr std::size_t kSlots = 1024, kMask = kSlots - 1, kLongest = 256;
    struct Slot {
        std::uint64_t hash = 0;
        std::string type;
        std::optional<TypeSchemaValue> value;  // empty: a free slot
    };

    // Compared in the words hash_of reads: the texts are short, and equal
    // whenever the hashes are.
    static bool same(std::string_view a, std::string_view b) noexcept {
        const std::size_t n = a.size();
        if (n != b.size()) return false;
        const auto word = [](const char* p) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            return w;
        };
        const auto half = [](const char* p) {
            std::uint32_t w;
            std::memcpy(&w, p, 4);
            return w;
        };
        if (n >= 8) {
            for (std::size_t i = 0; i + 8 < n; i += 8)
                if (word(a.data() + i) != word(b.data() + i)) return false;
            return word(a.data() + n - 8) == word(b.data() + n - 8);
        }
        if (n >= 4)
            return half(a.data()) == half(b.data()) && half(a.data() + n - 4) == half(b.data() + n - 4);
        for (std::size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }

    // Eight bytes at a time, the last eight (or fewer) read whole: type
    // parts are short.
    static std::uint64_t hash_of(std::string_view s) noexcept {
        const char* p = s.data();
        const std::size_t n = s.size();
        std::uint64_t h = n * 0x9E3779B97F4A7C15ull;
        auto mix = [&h](std::uint64_t w) {
            h = (h ^ w) * 0xFF51AFD7ED558CCDull;
            h ^= h >> 32;
        };
        if (n >= 8) {
            std::uint64_t w;
            for (std::size_t i = 0; i + 8 < n; i += 8) {
                std::memcpy(&w, p + i, 8);
                mix(w);
            }
            std::memcpy(&w, p + n - 8, 8);
            mix(w);
        } else if (n >= 4) {
            std::uint32_t a, b;
            std::memcpy(&a, p, 4);
            std::memcpy(&b, p + n - 4, 4);
            mix(std::uint64_t{a} << 32 | b);
        } else if (n > 0) {
            const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
            mix(byte(0) << 16 | byte(n / 2) << 8 | byte(n - 1));
        }
        return h;
    }

    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
    std::size_t used_ = 0;
};

// The compiled schema of a type part (`Person` stands for `$Person$`).
TypeSchemaValue schema_of_type_part(std::string_view type) {
    static SchemaCache cache;
    return cache.get(type);
}

// Builds the pattern values straight from the parser's parts, with no
// ParsedPath in between.
class ValueBuilder final : public PathBuilder {
public:
    ValueBuilder(PathPatternValue& path, std::size_t length)
        // A node takes at least three characters, an edge at least two: room
        // for all in one allocation each, the edges' made at the first edge.
        : path_(path), guess_(std::min<std::size_t>(length / 12 + 1, 64)) {
        path_.nodes.reserve(guess_);
    }

    bool node(PartsRead& parts) override {
        NodePatternValue& v = path_.nodes.emplace_back();
        if (!parts.variable.empty()) v.variable.emplace(parts.variable);
        if (!parts.type.empty()) v.type_schema = schema_of_type_part(parts.type);
        failed = !map_to_properties(parts.properties, v.properties);
        return !failed;
    }

    bool edge(PartsRead& parts) override {
        if (path_.edges.empty()) path_.edges.reserve(guess_);
        EdgePatternValue& v = path_.edges.emplace_back();
        if (!parts.variable.empty()) v.variable.emplace(parts.variable);
        if (!parts.type.empty()) v.term_type_schema = schema_of_type_part(parts.type);
        if (parts.direction != Direction::Forward) v.direction = direction_name(parts.direction);
        v.hops = parts.hops;
        failed = !map_to_properties(parts.properties, v.properties);
        return !failed;
    }

    bool failed = false;  // with a Python exception set

private:
    PathPatternValue& path_;
    std::size_t guess_;
};

}  // namespace

bool path_pattern_from_compiled(const CompiledPath& compiled, PathPatternValue& out) {
    const ParsedPath& parsed = compiled.parsed;
    PathPatternValue path;
    path.nodes.reserve(parsed.nodes.size());
    path.edges.reserve(parsed.edges.size());
    for (std::size_t i = 0; i < parsed.nodes.size(); ++i) {
        const ParsedNode& n = parsed.nodes[i];
        NodePatternValue& v = path.nodes.emplace_back();
        v.variable = n.variable;
        v.type_schema = compiled.node_schemas[i];
        if (!map_to_properties(n.properties, v.properties)) return false;
    }
    for (std::size_t i = 0; i < parsed.edges.size(); ++i) {
        const ParsedEdge& e = parsed.edges[i];
        EdgePatternValue& v = path.edges.emplace_back();
        v.variable = e.variable;
        v.term_type_schema = compiled.edge_schemas[i];
        if (!map_to_properties(e.properties, v.properties)) return false;
        v.direction = direction_name(e.direction);
        v.hops = e.hops;
    }
    out = std::move(path);
    return true;
}

namespace {

std::shared_ptr<const CompiledPath> compile(ParsedPath parsed) {
    auto compiled = std::make_shared<CompiledPath>();
    for (const ParsedNode& n : parsed.nodes)
        compiled->node_schemas.push_back(n.schema ? std::optional<TypeSchemaValue>(*n.schema) : std::nullopt);
    for (const ParsedEdge& e : parsed.edges)
        compiled->edge_schemas.push_back(e.schema ? std::optional<TypeSchemaValue>(*e.schema) : std::nullopt);
    compiled->parsed = std::move(parsed);
    return compiled;
}

}  // namespace

std::shared_ptr<const CompiledPath> compile_path(std::string_view text, bool cached) {
    static text::TextCache<CompiledPath> cache(512);
    if (cached)
        if (auto hit = cache.find(text)) return hit;
    ParseResult result = parse_path(text);
    if (const QuorvelError* error = std::get_if<QuorvelError>(&result)) {
        raise(*error);
        return nullptr;
    }
    auto compiled = compile(std::move(std::get<ParsedPath>(result)));
    if (cached) cache.put(text, compiled);
    return compiled;
}

bool parse_path_pattern(std::string_view text, PathPatternValue& out, bool cached) {
    if (cached) {
        auto compiled = compile_path(text, true);
        return compiled && path_pattern_from_compiled(*compiled, out);
    }
    // Read once: the values are built straight from the parser's parts.
    try {
        PathPatternValue path;
        ValueBuilder builder(path, text.size());
        if (std::optional<QuorvelError> error = parse_path(text, builder)) {
            raise(*error);
            return false;
        }
        if (builder.failed) return false;
        out = std::move(path);
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// ---- Printed forms ---------------------------------------------------------------

void append_tagged_text(std::string& out, const std::optional<std::string>& text) {
    if (!text) {
        out += "None";
        return;
    }
    out += "Some(\"";
    const std::string_view s = *text;
    for (std::size_t i = 0; i < s.size();) {
        const text::Decoded d = text::decode(s, i);
        switch (d.cp) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (!text::is_printable(d.cp) || text::is_grapheme_extend(d.cp)) {
                    char buf[16];
                    int len = std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(d.cp));
                    out.append(buf, static_cast<std::size_t>(len));
                } else {
                    out.append(s.substr(i, d.len));
                }
        }
        i += d.len;
    }
    out += "\")";
}

}  // namespace quorvel
