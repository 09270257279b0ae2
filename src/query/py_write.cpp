// Write operators: create, merge, set and delete.
#include <unordered_set>

#include "binding/args.hpp"
#include "binding/dict_walk.hpp"
#include "errors/py_errors.hpp"
#include "query/py_engine.hpp"
#include "types/py_types.hpp"

namespace quorvel {

using py::Ref;

const Bound* row_value(const Table& t, const std::string& variable, std::size_t row) {
    const Column* c = t.find(variable);
    if (!c || row >= c->size() || (*c)[row].hole()) return nullptr;
    return &(*c)[row];
}

const Bound* first_value(const Table& t, const std::string& name) {
    const Column* c = t.find(name);
    if (!c) return nullptr;
    for (const Bound& b : *c)
        if (!b.hole()) return &b;
    return nullptr;
}

namespace {

bool fail(const QuorvelError& error) {
    raise(error);
    return false;
}

// A new dict holding the pattern's required properties.
Ref dict_of(const PatternProperties& properties) {
    Ref props = Ref::steal(PyDict_New());
    if (!props) return props;
    for (std::size_t i = 0; i < properties.size(); ++i)
        if (PyDict_SetItem(props.get(), properties.key_object(i), properties.entries()[i].second.get()) < 0)
            return Ref();
    return props;
}

// Stores a new node of `type` under its uid (replacing a node of the same
// type) with the pattern's properties, and binds the pattern's variable to
// it alone.
bool create_node(QueryValue& q, const NodePatternValue& p, const TypeRef& type,
                 NodeValue* created = nullptr) {
    Ref type_obj = type_to_python(type);
    if (!type_obj) return false;
    Ref props = dict_of(p.properties);
    if (!props) return false;
    NodeValue node;
    if (!new_node(type_obj.get(), props.get(), node)) return false;
    Ref uid = py::str(node.uid());
    if (!uid) return false;
    Ref obj = node_to_python(node);
    if (!obj) return false;
    if (!q.graph.nodes) return true;
    if (!store_indexed_node(q.graph.nodes.get(), q.graph.index.get(), uid.get(), obj.get())) return false;
    if (created) *created = node;
    Column c;
    c.push_back(Bound::node(obj.get(), node.properties.get()));
    bind(q, p.variable, std::move(c));
    return true;
}

// Stores a new edge of the pattern's term between two node values under its
// uid (replacing an edge with the same term) and binds the pattern's
// variable to it alone.
bool create_edge(QueryValue& q, const EdgePatternValue& p, const NodeValue& start, const NodeValue& end) {
    Ref props = dict_of(p.properties);
    if (!props) return false;
    EdgeValue edge(p.term, start, end, std::move(props));
    Ref uid = py::str(edge.uid());
    if (!uid) return false;
    Ref obj = edge_to_python(edge);
    if (!obj) return false;
    if (!q.graph.edges) return true;
    if (!store_indexed_edge(q.graph.edges.get(), q.graph.index.get(), uid.get(), obj.get())) return false;
    Column c;
    c.push_back(Bound::edge(obj.get(), edge.properties.get()));
    bind(q, p.variable, std::move(c));
    return true;
}

// The first node bound to `name`, for the end of an edge being made.
bool endpoint(const QueryValue& q, const std::string& name, NodeValue& out) {
    const Bound* b = first_value(q.vars(), name);
    if (b && b->is_node()) {
        out = b->node_value();
        return true;
    }
    if (b && b->is_edge())
        return fail(
            QuorvelError::invalid_query("variable '" + name + "' is bound to an edge, not a node", "create"));
    return fail(QuorvelError::variable_not_found(name, "create"));
}

bool create_edge_form(QueryValue& q, const CreateEdge& c) {
    NodeValue start, end;
    if (!endpoint(q, c.start, start) || !endpoint(q, c.end, end)) return false;
    if (!c.pattern.term) return fail(QuorvelError::invalid_query("edge creation requires a term", "create"));
    return create_edge(q, c.pattern, start, end);
}

// The type a node or edge of a pattern denotes: the pattern's own type, else
// its type part when that is written in ordinary type syntax.
TypeRef concrete_type_of(const TypeRef& type, const std::optional<TypeSchemaValue>& schema) {
    if (type) return type;
    return schema ? schema->concrete_type() : TypeRef();
}

// Every check is made before anything is stored: a path that cannot be made
// stores nothing. Then the nodes are made or looked up in order, then the
// edges between them.
bool create_path(QueryValue& q, const PathPatternValue& path) {
    if (path.nodes.empty() || path.nodes.size() != path.edges.size() + 1)
        return fail(QuorvelError::invalid_query("a path needs one more node than edges", "create"));
    const std::size_t k = path.nodes.size();
    std::vector<TypeRef> types(k);
    std::unordered_set<std::string> made;  // variables the path's typed nodes bind
    for (std::size_t i = 0; i < k; ++i) {
        const NodePatternValue& p = path.nodes[i];
        types[i] = concrete_type_of(p.type_obj, p.type_schema);
        if (types[i]) {
            if (p.variable) made.insert(*p.variable);
            continue;
        }
        if (p.variable && (made.count(*p.variable) || first_value(q.vars(), *p.variable))) continue;
        std::string what = p.variable ? "cannot create node '" + *p.variable + "' without a type"
                                      : std::string("cannot create a node without a type");
        return fail(QuorvelError::invalid_query(std::move(what), "create"));
    }
    for (const EdgePatternValue& e : path.edges)
        if (!e.term && !e.variable)
            return fail(QuorvelError::invalid_query("an edge needs a variable to name its term", "create"));

    std::vector<NodeValue> nodes(k);
    for (std::size_t i = 0; i < k; ++i) {
        const NodePatternValue& p = path.nodes[i];
        if (types[i]) {
            if (!create_node(q, p, types[i], &nodes[i])) return false;
        } else if (!endpoint(q, *p.variable, nodes[i])) {
            return false;
        }
    }
    for (std::size_t i = 0; i + 1 < k; ++i) {
        EdgePatternValue e = path.edges[i];
        const bool backward = plan::reading_of(e.direction) == plan::Reading::Backward;
        const NodeValue& from = backward ? nodes[i + 1] : nodes[i];
        const NodeValue& to = backward ? nodes[i] : nodes[i + 1];
        if (!e.term) {
            TypeRef type = concrete_type_of(TypeRef(), e.term_type_schema);
            if (!type) type = Type::application(from.type, to.type);
            e.term = std::make_shared<const Term>(*e.variable, std::move(type));
        }
        if (!create_edge(q, e, from, to)) return false;
    }
    return true;
}

bool merge_node(QueryValue& q, const NodePatternValue& p) {
    Column candidates;
    if (!node_candidates(q, p, candidates)) return false;
    Ticker tick;
    for (Bound& node : candidates) {
        if (!tick.ok()) return false;
        bool ok = false;
        Ref props = Ref::borrow(node.properties());
        if (!node_matches(p, node.type(), props, ok)) return false;
        if (ok) {
            if (p.variable) q.vars().append_to(*p.variable).push_back(std::move(node));
            return true;
        }
    }
    return !p.type_obj || create_node(q, p, p.type_obj);
}

// The first edge between the first nodes of the two bindings that passes the
// pattern; when there is none and the pattern has a term, a new edge.
bool merge_edge(QueryValue& q, const MergeEdge& m) {
    const Bound* s = first_value(q.vars(), m.start);
    const Bound* t = first_value(q.vars(), m.end);
    if (!s || !t || !s->is_node() || !t->is_node() || !q.graph.edges) return true;
    const NodeValue start = s->node_value(), end = t->node_value();  // the tests run user code
    const Digest& want_start = start.type->digest();
    const Digest& want_end = end.type->digest();
    PyObject* edges = q.graph.edges.get();
    // Only edges from the start node's type to the end node's can pass: the
    // index names them.
    auto index = current_edge_index(edges, q.graph.index.get());
    if (!index && PyErr_Occurred()) return false;
    OrdinalSpan candidates;
    if (index) candidates = index->between(index->types.find(want_start), index->types.find(want_end));
    auto pass_over = [&](const EdgeValue& e) {
        return e.start.type->digest() != want_start || e.end.type->digest() != want_end;
    };
    EdgeWalk walk(edges, std::move(index), candidates, nullptr, pass_over);
    Bound found;
    for (;;) {
        Ref edge;
        if (!walk.next(edge)) return false;
        if (!edge) break;
        const EdgeValue& e = py::value_of<EdgeValue>(edge.get());
        if (pass_over(e)) continue;
        bool fits = false;
        if (!edge_pattern_matches(m.pattern, e, fits)) return false;
        if (fits) {
            found = Bound::edge(edge.get(), e.properties.get());
            break;
        }
    }
    if (!found.hole()) {
        if (m.pattern.variable) q.vars().append_to(*m.pattern.variable).push_back(std::move(found));
        return true;
    }
    return !m.pattern.term || create_edge(q, m.pattern, start, end);
}

}  // namespace

bool execute_create(QueryValue& q, const CreateOp& op) {
    if (const auto* node = std::get_if<NodePatternValue>(&op))
        return !node->type_obj || create_node(q, *node, node->type_obj);
    if (const auto* edge = std::get_if<CreateEdge>(&op)) return create_edge_form(q, *edge);
    return create_path(q, std::get<PathPatternValue>(op));
}

bool execute_merge(QueryValue& q, const MergeOp& op) {
    if (const auto* node = std::get_if<NodePatternValue>(&op)) return merge_node(q, *node);
    return merge_edge(q, std::get<MergeEdge>(op));
}

bool execute_set(QueryValue& q, const SetOp& op) {
    const Column* bound = q.vars().find(op.variable);
    if (!bound) return true;
    const Column targets = *bound;  // stable while user code runs
    Ticker tick;
    for (const Bound& b : targets) {
        if (!tick.ok()) return false;
        Ref dest = Ref::borrow(b.is_element() ? b.properties() : nullptr);
        if (!dest) continue;
        py::DictWalk walk(op.properties.get());
        Ref key, value;
        for (;;) {
            auto step = walk.next(key, value);
            if (step == py::DictWalk::Error) return false;
            if (step == py::DictWalk::Done) break;
            if (PyDict_SetItem(dest.get(), key.get(), value.get()) < 0) return false;
        }
    }
    return true;
}

namespace {

// Removes every edge whose start or end node has one of the given node uid
// digests. Keys are collected first and removed after the walk; a key that
// is gone by then is passed over.
bool detach_edges(QueryValue& q, const std::unordered_set<Digest, DigestHash>& deleted) {
    if (deleted.empty() || !q.graph.edges) return true;
    PyObject* edges = q.graph.edges.get();
    std::vector<Ref> doomed;
    py::DictWalk walk(edges);
    Ref key, value;
    Ticker tick;
    for (;;) {
        auto step = walk.next(key, value);
        if (step == py::DictWalk::Error) return false;
        if (step == py::DictWalk::Done) break;
        if (!tick.ok() || !ready_edge(value.get())) return false;
        const EdgeValue& e = py::value_of<EdgeValue>(value.get());
        if (deleted.count(e.start.type->node_digest()) || deleted.count(e.end.type->node_digest()))
            doomed.push_back(key.clone());
    }
    Ref hold = Ref::borrow(edges);
    for (const Ref& k : doomed)
        if (PyDict_DelItem(edges, k.get()) < 0) PyErr_Clear();
    return true;
}

}  // namespace

bool execute_delete(QueryValue& q, const DeleteOp& op) {
    if (q.vars().empty()) return true;
    std::unordered_set<Digest, DigestHash> deleted_nodes;
    Ticker tick;
    for (const std::string& name : op.variables) {
        const Column* bound = q.vars().find(name);
        if (!bound) continue;
        const Column targets = *bound;
        for (const Bound& b : targets) {
            if (!tick.ok()) return false;
            if (!b.is_element()) continue;
            if (b.is_node() && op.detach) deleted_nodes.insert(b.digest());
            Ref dict = (b.is_node() ? q.graph.nodes : q.graph.edges).clone();
            if (!dict) continue;
            char hex[64];
            digest_hex_into(b.digest(), hex);
            Ref uid = Ref::steal(PyUnicode_FromStringAndSize(hex, 64));
            if (!uid) return false;
            // A uid that is no longer there (or any other failure to remove)
            // is not an error of the run.
            if (PyDict_DelItem(dict.get(), uid.get()) < 0) PyErr_Clear();
        }
    }
    return detach_edges(q, deleted_nodes);
}

}  // namespace quorvel
