// A query run: the operations of the queue carried out in order against the
// graph's dicts and the query's bindings.
//
// Python code runs inside these loops (property values' __eq__/__bool__,
// hashing of dict keys, finalizers of released objects), so every object
// used across such a call is held by an owned reference, dicts are walked
// with DictWalk (a change of size stops the walk with RuntimeError), and
// bindings are copied before they are iterated. The query itself cannot
// change under a run: every Query method holds its exclusive borrow.
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "binding/args.hpp"
#include "binding/dict_walk.hpp"
#include "binding/pyclass.hpp"
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
    if (variable) q.vars()[*variable] = std::move(results);
}

void append_binding(QueryValue& q, const std::optional<std::string>& variable, QueryResult r) {
    if (variable) q.vars()[*variable].push_back(std::move(r));
}

bool fail(QuorvelError error) {
    raise(error);
    return false;
}

// Node uids derive from the type alone, so equal memoized type digests mean
// equal node uids: comparing them saves two SHA-256 runs per test.
const Digest& node_key(const NodeValue& node) { return node.type->digest(); }

// Calls `visit(key, value)` with a copy of every value of `dict` (made by
// `convert`: python_to_node or python_to_edge), in dict order, until it
// returns false (an error). A value of another class raises TypeError; a
// change of the dict's size stops the walk with RuntimeError.
template <class V, class F>
bool for_each_value(const Ref& dict, bool (*convert)(PyObject*, const char*, V&), F&& visit) {
    if (!dict) return true;
    py::DictWalk walk(dict.get());
    Ref key, value;
    for (;;) {
        auto step = walk.next(key, value);
        if (step == py::DictWalk::Error) return false;
        if (step == py::DictWalk::Done) return true;
        V v;
        if (!convert(value.get(), nullptr, v)) return false;
        if (!visit(key, v)) return false;
    }
}

template <class F>
bool for_each_edge(const QueryValue& q, F&& visit) {
    return for_each_value<EdgeValue>(q.graph.edges, python_to_edge, std::forward<F>(visit));
}

// Copies of every Node in `nodes`, in dict order.
bool all_nodes(const QueryValue& q, std::vector<NodeValue>& out) {
    return for_each_value<NodeValue>(q.graph.nodes, python_to_node, [&](const Ref&, NodeValue& node) {
        out.push_back(std::move(node));
        return true;
    });
}

// The candidates of a node pattern: by type through the lookup by type uid,
// otherwise the whole dict.
bool node_candidates(const QueryValue& q, const NodePatternValue& p, std::vector<NodeValue>& out) {
    if (p.type_obj) return get_nodes_by_type(q.graph, p.type_obj->digest(), out);
    return all_nodes(q, out);
}

// How an edge pattern reads the edges it meets. Directions other than
// "backward" and "any" read forward, as "forward" does.
enum class Reading { Forward, Backward, Any };

Reading reading_of(const EdgePatternValue& e) {
    if (e.direction == "backward") return Reading::Backward;
    if (e.direction == "any") return Reading::Any;
    return Reading::Forward;
}

bool valid_path_shape(const PathPatternValue& path) {
    return !path.nodes.empty() && path.nodes.size() == path.edges.size() + 1;
}

bool invalid_path_shape(const char* context) {
    return fail(QuorvelError::invalid_query("a path needs one more node than edges", context));
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

// The tests of a node pattern that run no Python code (type and schema):
// false means the node cannot match, whatever its properties.
bool may_match(const NodePatternValue& p, const NodeValue& node) {
    if (!node.type) return true;
    if (p.type_obj && !(node.type == p.type_obj)) return false;
    return !p.type_schema || p.type_schema->matches_type(*node.type);
}

// Every Edge of `edges` that `may_pass` (a test running no Python code, so
// it reads the stored value in place) does not rule out, copied and handed
// to `visit` in dict order. Others raise as for_each_edge does.
template <class Pre, class F>
bool for_each_candidate_edge(const QueryValue& q, Pre&& may_pass, F&& visit) {
    if (!q.graph.edges) return true;
    PyTypeObject* cls = edge_type();
    py::DictWalk walk(q.graph.edges.get());
    Ref key, value;
    for (;;) {
        auto step = walk.next(key, value);
        if (step == py::DictWalk::Error) return false;
        if (step == py::DictWalk::Done) return true;
        PyObject* v = value.get();
        if (Py_TYPE(v) == cls && py::box<EdgeValue>(v)->borrow.state >= 0 &&
            !may_pass(py::value_of<EdgeValue>(v)))
            continue;
        EdgeValue edge;
        if (!python_to_edge(v, nullptr, edge)) return false;
        if (!visit(key, edge)) return false;
    }
}

// One walk over `edges`: the edges `accept(edge, fits)` lets through, bound
// with their own start and end node values aligned by position, in the order
// start, edge, end (a later binding of the same name replaces). `may_pass`
// rules edges out early without copying them.
template <class Pre, class Accept>
bool match_edges(QueryValue& q, Pre&& may_pass, Accept&& accept, const std::optional<std::string>& start_var,
                 const std::optional<std::string>& edge_var, const std::optional<std::string>& end_var) {
    Binding starts, edges, ends;
    bool ok = for_each_candidate_edge(q, may_pass, [&](const Ref&, EdgeValue& edge) {
        bool fits = false;
        if (!accept(edge, fits)) return false;
        if (!fits) return true;
        starts.emplace_back(edge.start);
        ends.emplace_back(edge.end);
        edges.emplace_back(std::move(edge));
        return true;
    });
    if (!ok) return false;
    bind(q, start_var, std::move(starts));
    bind(q, edge_var, std::move(edges));
    bind(q, end_var, std::move(ends));
    return true;
}

// Two node patterns and one forward edge pattern with neither term nor
// properties: start against the edge's own start node value, end against its
// end node value.
bool match_single_step(QueryValue& q, const PathPatternValue& path) {
    const NodePatternValue& from = path.nodes[0];
    const NodePatternValue& to = path.nodes[1];
    const EdgePatternValue& via = path.edges[0];
    auto accept = [&](const EdgeValue& edge, bool& fits) {
        fits = false;
        if (via.term_type_schema && !via.term_type_schema->matches_type(*edge.term->type())) return true;
        if (!node_pattern_matches(from, edge.start, fits)) return false;
        return !fits || node_pattern_matches(to, edge.end, fits);
    };
    auto may_pass = [&](const EdgeValue& edge) {
        if (!edge.term) return true;
        if (via.term_type_schema && !via.term_type_schema->matches_type(*edge.term->type())) return false;
        return may_match(from, edge.start) && may_match(to, edge.end);
    };
    return match_edges(q, may_pass, accept, from.variable, via.variable, to.variable);
}

// The edge form: edges that pass the pattern.
bool match_edge_form(QueryValue& q, const MatchEdge& m) {
    auto accept = [&](const EdgeValue& edge, bool& fits) { return edge_pattern_matches(m.pattern, edge, fits); };
    auto may_pass = [&](const EdgeValue& edge) {
        if (!edge.term) return true;
        if (m.pattern.term && !(*edge.term == *m.pattern.term)) return false;
        return !m.pattern.term_type_schema || m.pattern.term_type_schema->matches_type(*edge.term->type());
    };
    return match_edges(q, may_pass, accept, m.start, m.pattern.variable, m.end);
}

// One edge taken in one orientation: it leaves from its start node (or, read
// backward, from its end node) and arrives at the other one.
struct Step {
    std::size_t edge;
    bool backward;
};

// Paths of any length over a snapshot of `edges`. For every position the
// steps that pass its edge pattern and the node patterns on both sides are
// found once (O(E) tests per position); after the first position they are
// indexed by the type digest of the node they leave from. A depth-first walk
// with an explicit stack then joins them into paths of distinct edges, in
// dict order, forward before backward, so the cost beyond the tests is that
// of the rows and their dead ends.
class PathMatcher {
public:
    PathMatcher(QueryValue& q, const PathPatternValue& path) : q_(q), path_(path) {}

    bool run() {
        bool ok = for_each_edge(q_, [&](const Ref&, EdgeValue& edge) {
            edges_.push_back(std::move(edge));
            return true;
        });
        if (!ok || !find_steps()) return false;
        walk();
        bind_all();
        return true;
    }

private:
    const NodeValue& leaving(const Step& s) const {
        return s.backward ? edges_[s.edge].end : edges_[s.edge].start;
    }
    const NodeValue& arriving(const Step& s) const {
        return s.backward ? edges_[s.edge].start : edges_[s.edge].end;
    }

    bool find_steps() {
        const std::size_t hops = path_.edges.size();
        index_.resize(hops);
        for (std::size_t i = 0; i < hops; ++i) {
            const EdgePatternValue& via = path_.edges[i];
            const Reading reading = reading_of(via);
            for (std::size_t j = 0; j < edges_.size(); ++j) {
                bool fits = false;
                if (!edge_pattern_matches(via, edges_[j], fits)) return false;
                if (!fits) continue;
                const EdgeValue& e = edges_[j];
                const bool self_loop = node_key(e.start) == node_key(e.end);
                if (reading != Reading::Backward && !add_step(i, {j, false})) return false;
                if (reading == Reading::Backward || (reading == Reading::Any && !self_loop))
                    if (!add_step(i, {j, true})) return false;
            }
        }
        return true;
    }

    bool add_step(std::size_t i, Step s) {
        bool fits = false;
        if (i == 0) {
            if (!node_pattern_matches(path_.nodes[0], leaving(s), fits)) return false;
            if (!fits) return true;
        }
        if (!node_pattern_matches(path_.nodes[i + 1], arriving(s), fits)) return false;
        if (!fits) return true;
        if (i == 0)
            first_.push_back(s);
        else
            index_[i][node_key(leaving(s))].push_back(s);
        return true;
    }

    void walk() {
        const std::size_t hops = path_.edges.size();
        struct Frame {
            const std::vector<Step>* options;
            std::size_t next;
        };
        std::vector<Frame> frames{{&first_, 0}};
        std::vector<Step> chosen;  // always frames.size() - 1 long
        std::vector<char> used(edges_.size(), 0);
        while (!frames.empty()) {
            Frame& f = frames.back();
            if (f.next == f.options->size()) {
                frames.pop_back();
                if (!chosen.empty()) {
                    used[chosen.back().edge] = 0;
                    chosen.pop_back();
                }
                continue;
            }
            const Step s = (*f.options)[f.next++];
            if (used[s.edge]) continue;
            if (chosen.size() + 1 == hops) {
                chosen.push_back(s);
                add_row(chosen);
                chosen.pop_back();
                continue;
            }
            auto next = index_[chosen.size() + 1].find(node_key(arriving(s)));
            if (next == index_[chosen.size() + 1].end()) continue;
            used[s.edge] = 1;
            chosen.push_back(s);
            frames.push_back({&next->second, 0});
        }
    }

    void add_row(const std::vector<Step>& steps) {
        if (node_rows_.empty()) node_rows_.resize(path_.nodes.size()), edge_rows_.resize(path_.edges.size());
        node_rows_[0].emplace_back(leaving(steps[0]));
        for (std::size_t i = 0; i < steps.size(); ++i) {
            edge_rows_[i].emplace_back(edges_[steps[i].edge]);
            node_rows_[i + 1].emplace_back(arriving(steps[i]));
        }
    }

    // In path order, so that a later position with the same name replaces.
    void bind_all() {
        node_rows_.resize(path_.nodes.size());
        edge_rows_.resize(path_.edges.size());
        for (std::size_t i = 0; i < path_.nodes.size(); ++i) {
            bind(q_, path_.nodes[i].variable, std::move(node_rows_[i]));
            if (i < path_.edges.size()) bind(q_, path_.edges[i].variable, std::move(edge_rows_[i]));
        }
    }

    QueryValue& q_;
    const PathPatternValue& path_;
    std::vector<EdgeValue> edges_;  // the snapshot, in dict order
    std::vector<Step> first_;       // steps of position 0, in order
    // Per position after the first: leaving node's type digest -> steps.
    std::vector<std::unordered_map<Digest, std::vector<Step>, DigestHash>> index_;
    std::vector<Binding> node_rows_, edge_rows_;
};

bool plain_single_step(const PathPatternValue& path) {
    if (path.nodes.size() != 2 || path.edges.size() != 1) return false;
    const EdgePatternValue& e = path.edges[0];
    return reading_of(e) == Reading::Forward && !e.term && e.properties.empty();
}

bool execute_match(QueryValue& q, const MatchOp& op) {
    return std::visit(overloaded{
                          [&](const NodePatternValue& p) { return match_node(q, p); },
                          [&](const MatchEdge& m) { return match_edge_form(q, m); },
                          [&](const PathPatternValue& path) {
                              if (!valid_path_shape(path)) return invalid_path_shape("match");
                              if (path.edges.empty()) return match_node(q, path.nodes[0]);
                              if (plain_single_step(path)) return match_single_step(q, path);
                              return PathMatcher(q, path).run();
                          },
                      },
                      op);
}

// ---- create and merge --------------------------------------------------------

// A new dict holding the pattern's required properties.
Ref dict_of(const PatternProperties& properties) {
    Ref props = Ref::steal(PyDict_New());
    if (!props) return props;
    for (std::size_t i = 0; i < properties.size(); ++i)
        if (PyDict_SetItem(props.get(), properties.key_object(i), properties.entries()[i].second.get()) < 0)
            return Ref();
    return props;
}

// Stores a new node of the pattern's type under its uid (replacing a node
// of the same type) and binds the pattern's variable to it alone.
bool create_node(QueryValue& q, const NodePatternValue& p, NodeValue* created = nullptr) {
    Ref type_obj = type_to_python(p.type_obj);
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
    if (!store_node(q.graph, uid.get(), obj.get(), node.type->digest())) return false;
    if (created) *created = node;
    Binding b;
    b.emplace_back(std::move(node));
    bind(q, p.variable, std::move(b));
    return true;
}

// Stores an edge under its uid (replacing an edge with the same term) and
// binds `variable` to it alone.
bool store_edge(QueryValue& q, EdgeValue edge, const std::optional<std::string>& variable) {
    Ref uid = py::str(edge.uid());
    if (!uid) return false;
    Ref obj = edge_to_python(edge);
    if (!obj) return false;
    if (!q.graph.edges) return true;
    Ref edges = q.graph.edges.clone();
    if (PyDict_SetItem(edges.get(), uid.get(), obj.get()) < 0) return false;
    Binding b;
    b.emplace_back(std::move(edge));
    bind(q, variable, std::move(b));
    return true;
}

bool new_edge(QueryValue& q, const EdgePatternValue& p, const NodeValue& start, const NodeValue& end) {
    Ref props = dict_of(p.properties);
    if (!props) return false;
    return store_edge(q, EdgeValue(p.term, start, end, std::move(props)), p.variable);
}

// The first node bound to `name`, passing over holes; null when the name is
// unbound or has no value. `is_edge` tells an edge in that place apart.
const NodeValue* first_bound_node(const QueryValue& q, const std::string& name, bool& is_edge) {
    is_edge = false;
    auto it = q.vars().find(name);
    if (it == q.vars().end()) return nullptr;
    for (const QueryResult& r : it->second) {
        if (std::holds_alternative<std::monostate>(r)) continue;
        is_edge = std::holds_alternative<EdgeValue>(r);
        return std::get_if<NodeValue>(&r);
    }
    return nullptr;
}

bool endpoint(const QueryValue& q, const std::string& name, NodeValue& out) {
    bool is_edge = false;
    const NodeValue* node = first_bound_node(q, name, is_edge);
    if (node) {
        out = *node;
        return true;
    }
    if (is_edge)
        return fail(QuorvelError::invalid_query("variable '" + name + "' is bound to an edge, not a node", "create"));
    return fail(QuorvelError::variable_not_found(name, "create"));
}

bool create_edge(QueryValue& q, const CreateEdge& c) {
    NodeValue start, end;
    if (!endpoint(q, c.start, start) || !endpoint(q, c.end, end)) return false;
    if (!c.pattern.term) return fail(QuorvelError::invalid_query("edge creation requires a term", "create"));
    return new_edge(q, c.pattern, start, end);
}

// The type a node or edge of a pattern string denotes: the pattern's own type,
// else its type part when that is written in ordinary type syntax.
TypeRef concrete_type(const TypeRef& type, const std::optional<TypeSchemaValue>& schema) {
    if (type) return type;
    return schema ? schema->concrete_type() : TypeRef();
}

// Every check is made before anything is stored: a path that cannot be made
// stores nothing. Then the nodes are made or looked up in order, then the
// edges between them.
bool create_path(QueryValue& q, const PathPatternValue& path) {
    if (!valid_path_shape(path)) return invalid_path_shape("create");
    const std::size_t k = path.nodes.size();
    std::vector<TypeRef> types(k);
    std::unordered_set<std::string> made;  // variables the path's typed nodes bind
    for (std::size_t i = 0; i < k; ++i) {
        const NodePatternValue& p = path.nodes[i];
        types[i] = concrete_type(p.type_obj, p.type_schema);
        if (types[i]) {
            if (p.variable) made.insert(*p.variable);
            continue;
        }
        bool is_edge = false;
        if (p.variable && (made.count(*p.variable) || first_bound_node(q, *p.variable, is_edge))) continue;
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
            NodePatternValue typed = p;
            typed.type_obj = types[i];
            if (!create_node(q, typed, &nodes[i])) return false;
        } else if (!endpoint(q, *p.variable, nodes[i])) {
            return false;
        }
    }
    for (std::size_t i = 0; i + 1 < k; ++i) {
        EdgePatternValue e = path.edges[i];
        const bool backward = reading_of(e) == Reading::Backward;
        const NodeValue& from = backward ? nodes[i + 1] : nodes[i];
        const NodeValue& to = backward ? nodes[i] : nodes[i + 1];
        if (!e.term) {
            TypeRef type = concrete_type(TypeRef(), e.term_type_schema);
            if (!type) type = Type::application(from.type, to.type);
            e.term = std::make_shared<const Term>(*e.variable, std::move(type));
        }
        if (!new_edge(q, e, from, to)) return false;
    }
    return true;
}

bool execute_create(QueryValue& q, const CreateOp& op) {
    return std::visit(overloaded{
                          [&](const NodePatternValue& p) { return !p.type_obj || create_node(q, p); },
                          [&](const CreateEdge& c) { return create_edge(q, c); },
                          [&](const PathPatternValue& path) { return create_path(q, path); },
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

// The first value bound to `name` (holes passed over), if it is a node.
const NodeValue* first_node(const QueryValue& q, const std::string& name) {
    bool is_edge = false;
    return first_bound_node(q, name, is_edge);
}

// The first edge between the first nodes of the two bindings that passes the
// pattern; when there is none and the pattern has a term, a new edge.
bool merge_edge(QueryValue& q, const MergeEdge& m) {
    const NodeValue* s = first_node(q, m.start);
    const NodeValue* t = first_node(q, m.end);
    if (!s || !t || !q.graph.edges) return true;
    const NodeValue start = *s, end = *t;  // copies: the pattern tests run user code
    const Digest& want_start = node_key(start);
    const Digest& want_end = node_key(end);
    bool found = false;
    bool ok = for_each_edge(q, [&](const Ref&, EdgeValue& edge) {
        if (node_key(edge.start) != want_start || node_key(edge.end) != want_end) return true;
        bool fits = false;
        if (!edge_pattern_matches(m.pattern, edge, fits)) return false;
        if (!fits) return true;
        append_binding(q, m.pattern.variable, std::move(edge));
        found = true;
        return false;  // stop the walk
    });
    if (found) return true;
    if (!ok) return false;
    return !m.pattern.term || new_edge(q, m.pattern, start, end);
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
    auto it = q.vars().find(op.variable);
    if (it == q.vars().end()) return true;
    Binding targets = it->second;  // stable while user code runs
    for (const QueryResult& r : targets) {
        Ref dest = Ref::borrow(properties_of(r));
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

// Removes every edge whose start or end node has one of the given type
// digests (so one of the deleted nodes' uids). Keys are collected first and
// removed after the walk; a key that is gone by then is passed over.
bool detach_edges(QueryValue& q, const std::unordered_set<Digest, DigestHash>& deleted) {
    if (deleted.empty() || !q.graph.edges) return true;
    std::vector<Ref> doomed;
    bool ok = for_each_edge(q, [&](const Ref& key, EdgeValue& edge) {
        if (deleted.count(node_key(edge.start)) || deleted.count(node_key(edge.end))) doomed.push_back(key.clone());
        return true;
    });
    if (!ok) return false;
    Ref edges = q.graph.edges.clone();
    for (const Ref& key : doomed)
        if (PyDict_DelItem(edges.get(), key.get()) < 0) PyErr_Clear();
    return true;
}

bool execute_delete(QueryValue& q, const DeleteOp& op) {
    if (q.vars().empty()) return true;
    std::unordered_set<Digest, DigestHash> deleted_nodes;
    for (const std::string& name : op.variables) {
        auto it = q.vars().find(name);
        if (it == q.vars().end()) continue;
        Binding targets = it->second;
        for (const QueryResult& r : targets) {
            if (std::holds_alternative<std::monostate>(r)) continue;
            const NodeValue* node = std::get_if<NodeValue>(&r);
            if (node && op.detach) deleted_nodes.insert(node_key(*node));
            Ref dict = (node ? q.graph.nodes : q.graph.edges).clone();
            if (!dict) continue;
            Ref uid = py::str(node ? node->uid() : std::get<EdgeValue>(r).uid());
            if (!uid) return false;
            // A uid that is no longer there (or any other failure to remove)
            // is not an error of the run.
            if (PyDict_DelItem(dict.get(), uid.get()) < 0) PyErr_Clear();
        }
    }
    return detach_edges(q, deleted_nodes);
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
    SharedVars::Pin pin(q.bindings);
    const std::vector<const QueryOperation*> ops = q.operations.in_order();
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (std::holds_alternative<OrderByOp>(*ops[i])) {
            // Consecutive order_by operations make one sort, the first being
            // the primary key.
            std::vector<const OrderByOp*> keys;
            while (i < ops.size() && std::holds_alternative<OrderByOp>(*ops[i]))
                keys.push_back(&std::get<OrderByOp>(*ops[i++]));
            --i;
            if (!execute_order_by(q, keys)) return false;
            continue;
        }
        if (!execute_one(q, *ops[i])) return false;
    }
    return true;
}

std::size_t longest_binding(const QueryValue& q) {
    std::size_t n = 0;
    for (const auto& [name, list] : q.vars()) n = std::max(n, list.size());
    return n;
}

}  // namespace quorvel
