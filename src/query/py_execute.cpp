// A query run: the operations of the queue carried out in order against the
// graph's dicts and the query's bindings.
//
// Python code runs inside these loops (property values' __eq__/__bool__,
// hashing of dict keys, finalizers of released objects), so every object
// used across such a call is held by an owned reference, dicts are walked
// with DictWalk (a change of size stops the walk with RuntimeError), and
// bindings are copied before they are iterated. The query itself cannot
// change under a run: every Query method holds its exclusive borrow.
#include "binding/args.hpp"
#include "binding/dict_walk.hpp"
#include "errors/py_errors.hpp"
#include "query/py_query.hpp"
#include "query/py_rows.hpp"
#include "types/py_types.hpp"

namespace quorvel {

using py::Ref;

namespace {

template <class... F>
struct overloaded : F... {
    using F::operator()...;
};
template <class... F>
overloaded(F...) -> overloaded<F...>;

void bind(QueryValue& q, const std::optional<std::string>& variable, Binding results) {
    if (variable) q.matched_vars[*variable] = std::move(results);
}

void append_binding(QueryValue& q, const std::optional<std::string>& variable, QueryResult r) {
    if (variable) q.matched_vars[*variable].push_back(std::move(r));
}

// Copies of every Node in `nodes`, in dict order.
bool all_nodes(const QueryValue& q, std::vector<NodeValue>& out) {
    if (!q.graph.nodes) return true;
    py::DictWalk walk(q.graph.nodes.get());
    Ref key, value;
    for (;;) {
        auto step = walk.next(key, value);
        if (step == py::DictWalk::Error) return false;
        if (step == py::DictWalk::Done) return true;
        NodeValue node;
        if (!python_to_node(value.get(), nullptr, node)) return false;
        out.push_back(std::move(node));
    }
}

// The candidates of a node pattern: by type through the lookup by type uid,
// otherwise the whole dict.
bool node_candidates(const QueryValue& q, const NodePatternValue& p, std::vector<NodeValue>& out) {
    if (p.type_obj) return get_nodes_by_type(q.graph, p.type_obj->digest(), out);
    return all_nodes(q, out);
}

// ---- match ------------------------------------------------------------------

bool match_node(QueryValue& q, const NodePatternValue& p) {
    std::vector<NodeValue> candidates;
    if (!node_candidates(q, p, candidates)) return false;
    Binding results;
    for (NodeValue& node : candidates) {
        bool ok = false;
        if (!node_pattern_matches(p, node, ok)) return false;
        if (ok) results.emplace_back(std::move(node));
    }
    bind(q, p.variable, std::move(results));
    return true;
}

// Two node patterns and one edge pattern, read forward: start against the
// edge's own start node value, end against its end node value.
bool match_single_step(QueryValue& q, const PathPatternValue& path) {
    const NodePatternValue& from = path.nodes[0];
    const NodePatternValue& to = path.nodes[1];
    const EdgePatternValue& via = path.edges[0];
    Binding starts, edges, ends;
    if (q.graph.edges) {
        py::DictWalk walk(q.graph.edges.get());
        Ref key, value;
        for (;;) {
            auto step = walk.next(key, value);
            if (step == py::DictWalk::Error) return false;
            if (step == py::DictWalk::Done) break;
            EdgeValue edge;
            if (!python_to_edge(value.get(), nullptr, edge)) return false;
            if (via.term_type_schema && !via.term_type_schema->matches_type(*edge.term->type())) continue;
            bool ok = false;
            if (!node_pattern_matches(from, edge.start, ok)) return false;
            if (!ok) continue;
            if (!node_pattern_matches(to, edge.end, ok)) return false;
            if (!ok) continue;
            starts.emplace_back(edge.start);
            ends.emplace_back(edge.end);
            edges.emplace_back(std::move(edge));
        }
    }
    bind(q, from.variable, std::move(starts));
    bind(q, via.variable, std::move(edges));
    bind(q, to.variable, std::move(ends));
    return true;
}

bool execute_match(QueryValue& q, const MatchOp& op) {
    return std::visit(overloaded{
                          [&](const NodePatternValue& p) { return match_node(q, p); },
                          // Edge-form matches bind nothing in this engine yet.
                          [&](const MatchEdge&) { return true; },
                          [&](const PathPatternValue& path) {
                              if (path.nodes.size() == 1 && path.edges.empty()) return match_node(q, path.nodes[0]);
                              if (path.nodes.size() == 2 && path.edges.size() == 1) return match_single_step(q, path);
                              return true;  // other shapes bind nothing yet
                          },
                      },
                      op);
}

// ---- create and merge --------------------------------------------------------

// Stores a new node of the pattern's type under its uid (replacing a node
// of the same type) and binds the pattern's variable to it alone.
bool create_node(QueryValue& q, const NodePatternValue& p) {
    Ref type_obj = type_to_python(p.type_obj);
    if (!type_obj) return false;
    Ref props = Ref::steal(PyDict_New());
    if (!props) return false;
    for (const auto& [key, value] : p.properties) {
        Ref k = py::str(key);
        if (!k || PyDict_SetItem(props.get(), k.get(), value.get()) < 0) return false;
    }
    NodeValue node;
    if (!new_node(type_obj.get(), props.get(), node)) return false;
    Ref uid = py::str(node.uid());
    if (!uid) return false;
    Ref obj = node_to_python(node);
    if (!obj) return false;
    if (!q.graph.nodes) return true;
    Ref nodes = q.graph.nodes.clone();
    if (PyDict_SetItem(nodes.get(), uid.get(), obj.get()) < 0) return false;
    Binding b;
    b.emplace_back(std::move(node));
    bind(q, p.variable, std::move(b));
    return true;
}

bool execute_create(QueryValue& q, const CreateOp& op) {
    return std::visit(overloaded{
                          [&](const NodePatternValue& p) { return !p.type_obj || create_node(q, p); },
                          // Edge creation stores nothing in this engine yet.
                          [&](const CreateEdge&) { return true; },
                          [&](const PathPatternValue& path) {
                              for (const NodePatternValue& p : path.nodes)
                                  if (p.type_obj && !create_node(q, p)) return false;
                              return true;
                          },
                      },
                      op);
}

bool merge_node(QueryValue& q, const NodePatternValue& p) {
    std::vector<NodeValue> candidates;
    if (!node_candidates(q, p, candidates)) return false;
    for (NodeValue& node : candidates) {
        bool ok = false;
        if (!node_pattern_matches(p, node, ok)) return false;
        if (ok) {
            append_binding(q, p.variable, std::move(node));
            return true;
        }
    }
    return !p.type_obj || create_node(q, p);
}

// The first node bound to `name`, if that binding starts with a node.
const NodeValue* first_node(const QueryValue& q, const std::string& name) {
    auto it = q.matched_vars.find(name);
    if (it == q.matched_vars.end() || it->second.empty()) return nullptr;
    return std::get_if<NodeValue>(&it->second.front());
}

bool merge_edge(QueryValue& q, const MergeEdge& m) {
    const NodeValue* s = first_node(q, m.start);
    const NodeValue* t = first_node(q, m.end);
    if (!s || !t || !q.graph.edges) return true;
    // Node uids derive from the type alone, so equal type digests mean equal
    // node uids; comparing the memoized type digests saves two SHA-256 runs
    // per edge.
    const TypeRef start_type = s->type, end_type = t->type;
    const Digest& want_start = start_type->digest();
    const Digest& want_end = end_type->digest();
    py::DictWalk walk(q.graph.edges.get());
    Ref key, value;
    for (;;) {
        auto step = walk.next(key, value);
        if (step == py::DictWalk::Error) return false;
        if (step == py::DictWalk::Done) return true;
        EdgeValue edge;
        if (!python_to_edge(value.get(), nullptr, edge)) return false;
        if (edge.start.type->digest() == want_start && edge.end.type->digest() == want_end) {
            append_binding(q, m.pattern.variable, std::move(edge));
            return true;
        }
    }
}

bool execute_merge(QueryValue& q, const MergeOp& op) {
    return std::visit(overloaded{
                          [&](const NodePatternValue& p) { return merge_node(q, p); },
                          [&](const MergeEdge& m) { return merge_edge(q, m); },
                      },
                      op);
}

// ---- set and delete ------------------------------------------------------------

bool execute_set(QueryValue& q, const SetOp& op) {
    auto it = q.matched_vars.find(op.variable);
    if (it == q.matched_vars.end()) return true;
    Binding targets = it->second;  // stable while user code runs
    for (const QueryResult& r : targets) {
        const NodeValue* node = std::get_if<NodeValue>(&r);
        if (!node || !node->properties) continue;  // bound edges are passed over
        Ref dest = node->properties.clone();
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

bool execute_delete(QueryValue& q, const DeleteOp& op) {
    if (q.matched_vars.empty()) return true;
    for (const std::string& name : op.variables) {
        auto it = q.matched_vars.find(name);
        if (it == q.matched_vars.end()) continue;
        Binding targets = it->second;
        for (const QueryResult& r : targets) {
            if (std::holds_alternative<std::monostate>(r)) continue;
            const bool is_node = std::holds_alternative<NodeValue>(r);
            Ref dict = (is_node ? q.graph.nodes : q.graph.edges).clone();
            if (!dict) continue;
            Ref uid = py::str(is_node ? std::get<NodeValue>(r).uid() : std::get<EdgeValue>(r).uid());
            if (!uid) return false;
            // A uid that is no longer there (or any other failure to remove)
            // is not an error of the run.
            if (PyDict_DelItem(dict.get(), uid.get()) < 0) PyErr_Clear();
        }
    }
    return true;
}

bool execute_where(QueryValue& q, const WhereOp& w) { return filter_rows(q, *w.compiled); }

bool execute_one(QueryValue& q, const QueryOperation& op) {
    return std::visit(overloaded{
                          [&](const MatchOperation& m) { return execute_match(q, m.op); },
                          [&](const CreateOperation& c) { return execute_create(q, c.op); },
                          [&](const MergeOperation& m) { return execute_merge(q, m.op); },
                          [&](const SetOp& s) { return execute_set(q, s); },
                          [&](const DeleteOp& d) { return execute_delete(q, d); },
                          [&](const WhereOp& w) { return execute_where(q, w); },
                          [&](const WithOp& w) {
                              execute_with(q, w);
                              return true;
                          },
                          [&](const OrderByOp& o) { return execute_order_by(q, {&o}); },
                          [&](const LimitOp& l) {
                              execute_limit(q, l.count);
                              return true;
                          },
                          [&](const SkipOp& s) {
                              execute_skip(q, s.count);
                              return true;
                          },
                      },
                      op);
}

}  // namespace

bool execute_operations(QueryValue& q) {
    // The queue cannot change during the run (the query is exclusively
    // borrowed), so it is walked in place.
    const auto& ops = q.operations;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (std::holds_alternative<OrderByOp>(ops[i])) {
            // Consecutive order_by operations make one sort, the first being
            // the primary key.
            std::vector<const OrderByOp*> keys;
            while (i < ops.size() && std::holds_alternative<OrderByOp>(ops[i])) keys.push_back(&std::get<OrderByOp>(ops[i++]));
            --i;
            if (!execute_order_by(q, keys)) return false;
            continue;
        }
        if (!execute_one(q, ops[i])) return false;
    }
    return true;
}

std::size_t longest_binding(const QueryValue& q) {
    std::size_t n = 0;
    for (const auto& [name, list] : q.matched_vars) n = std::max(n, list.size());
    return n;
}

}  // namespace quorvel
