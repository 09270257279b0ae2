// Match operators: node matches, edge-form matches, the single step and
// paths of any length.
//
// Where an index may stand in for a walk (graph/py_index.hpp), candidates
// come from it: nodes of one type, edges leaving or reaching nodes of one
// type. The tests that run no Python code (types, schemas, terms) are what
// an index answers, so it only ever passes over candidates a walk would have
// rejected without calling anything.
#include <algorithm>
#include <new>

#include "binding/args.hpp"
#include "binding/dict_walk.hpp"
#include "errors/py_errors.hpp"
#include "query/py_engine.hpp"

namespace quorvel {

using plan::Reading;
using py::Ref;

bool take_node(PyObject* value, Bound& out) {
    if (!py::check_instance(value, node_type(), nullptr)) return false;
    auto* b = py::box<NodeValue>(value);
    py::SharedGuard guard(b->borrow, "Node");
    if (!guard || !ensure_properties(b->value.properties)) return false;
    out = Bound::node(value, b->value.properties.get());
    return true;
}

bool ready_edge(PyObject* value) {
    if (!py::check_instance(value, edge_type(), nullptr)) return false;
    auto* b = py::box<EdgeValue>(value);
    py::SharedGuard guard(b->borrow, "Edge");
    return guard && ensure_properties(b->value.properties) && ensure_properties(b->value.start.properties) &&
           ensure_properties(b->value.end.properties);
}

bool take_edge(PyObject* value, Bound& out) {
    if (!ready_edge(value)) return false;
    out = Bound::edge(value, py::value_of<EdgeValue>(value).properties.get());
    return true;
}

void bind(QueryValue& q, const std::optional<std::string>& variable, Column values) {
    if (variable) q.vars().bind(*variable, std::move(values));
}

bool dict_changed(PyObject* dict, Py_ssize_t size_before) {
    PyErr_SetString(PyExc_RuntimeError, PyDict_GET_SIZE(dict) != size_before
                                            ? "dictionary changed size during iteration"
                                            : "dictionary changed during iteration");
    return false;
}

namespace {

// The end of an edge, as a bound node.
Bound edge_end(PyObject* edge, bool start) {
    const EdgeValue& e = py::value_of<EdgeValue>(edge);
    return Bound::edge_end(edge, start, (start ? e.start : e.end).properties.get());
}

bool out_of_memory(const char* what, std::size_t made) {
    PyErr_Format(PyExc_MemoryError, "out of memory after %zu %s (match)", made, what);
    return false;
}

// ---- node matches ---------------------------------------------------------------

// Every node of `type` through the index, in dict order; false when the
// index cannot stand in for the walk (the caller walks then).
bool indexed_nodes_of_type(const QueryValue& q, const TypeRef& type, bool exact_keys_only, bool& used,
                           Column& out) {
    used = false;
    auto index = current_node_index(q.graph.nodes.get(), q.graph.index.get());
    if (!index) return !PyErr_Occurred();
    if (exact_keys_only && !index->exact_keys) return true;
    used = true;
    const auto* list = index->by_type.find(index->types.find(type->digest()));
    if (!list) return true;
    out.reserve(list->size());
    for (std::uint32_t ordinal : *list) {
        Ref node = Ref::borrow(entry_at(q.graph.nodes.get(), index->pos[ordinal]));
        auto* b = py::box<NodeValue>(node.get());
        if (!ensure_properties(b->value.properties)) return false;
        out.push_back(Bound::node(node.get(), b->value.properties.get()));
        if (!index_current(q.graph.nodes.get(), *index)) {
            // Making a dict ran a collection whose finalizers changed the
            // dict: look again the slow way.
            out.clear();
            used = false;
            return true;
        }
    }
    return true;
}

// The lookup by type as a walk: every entry must be a str key and a Node
// (else TypeError, wherever it is), the keys of nodes of that type are
// noted, then looked up again as the dict is by then.
bool walked_nodes_of_type(const QueryValue& q, const Digest& type, Column& out) {
    PyObject* nodes = q.graph.nodes.get();
    std::vector<Ref> keys;
    {
        py::DictWalk walk(nodes);
        Ref key, value;
        Ticker tick;
        for (;;) {
            auto step = walk.next(key, value);
            if (step == py::DictWalk::Error) return false;
            if (step == py::DictWalk::Done) break;
            if (!tick.ok()) return false;
            if (!PyUnicode_Check(key.get())) {
                py::raise_arg_type("key", "str", key.get());
                return false;
            }
            Bound b;
            if (!take_node(value.get(), b)) return false;
            if (b.type()->digest() == type) keys.push_back(key.clone());
        }
    }
    for (const Ref& k : keys) {
        Ref found = Ref::borrow(PyDict_GetItemWithError(nodes, k.get()));
        if (!found) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        Bound b;
        if (!take_node(found.get(), b)) return false;
        out.push_back(std::move(b));
    }
    return true;
}

// Every node of the graph, in dict order.
bool all_nodes(const QueryValue& q, Column& out) {
    py::DictWalk walk(q.graph.nodes.get());
    Ref key, value;
    Ticker tick;
    for (;;) {
        auto step = walk.next(key, value);
        if (step == py::DictWalk::Error) return false;
        if (step == py::DictWalk::Done) return true;
        if (!tick.ok()) return false;
        Bound b;
        if (!take_node(value.get(), b)) return false;
        out.push_back(std::move(b));
    }
}

}  // namespace

TypeRef exact_type_of(const NodePatternValue& p) {
    if (p.type_obj) return p.type_obj;
    return p.type_schema ? p.type_schema->schema->exact_type() : TypeRef();
}

// The candidates of a node pattern: with a type, the graph's nodes of that
// type (whatever their keys); otherwise every node -- or, when the pattern's
// schema names one type and an index stands in for the walk, the nodes of
// that type, which are the only ones the walk would not reject untested.
bool node_candidates(const QueryValue& q, const NodePatternValue& p, Column& out) {
    if (!q.graph.nodes) return true;
    bool used = false;
    if (p.type_obj) {
        // A walk would hash every key again: only exact str keys run no code.
        if (!indexed_nodes_of_type(q, p.type_obj, true, used, out)) return false;
        return used || walked_nodes_of_type(q, p.type_obj->digest(), out);
    }
    if (TypeRef exact = exact_type_of(p)) {
        if (!indexed_nodes_of_type(q, exact, false, used, out)) return false;
        if (used) return true;
    }
    return all_nodes(q, out);
}

namespace {

// An untyped node match in one pass over the dict, while nothing it does can
// run Python code: the values are Nodes no one is changing and every property
// comparison is between plain values (see properties_match_plain). Then no
// one can tell it from taking every node first and testing them after. Sets
// `done` to false, with nothing bound, where that cannot be promised.
bool match_nodes_plainly(const QueryValue& q, const NodePatternValue& p, std::uint64_t cap, Column& out,
                         bool& done) {
    done = false;
    PyObject* nodes = q.graph.nodes.get();
    PyTypeObject* cls = node_type();
    const Py_ssize_t size = PyDict_GET_SIZE(nodes);
    const std::uint64_t version = dict_version(nodes);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    Ticker tick;
    while (PyDict_Next(nodes, &pos, &key, &value)) {
        if (!tick.ok()) return false;
        if (Py_TYPE(value) != cls || py::box<NodeValue>(value)->borrow.state < 0) return true;
        if (out.size() >= cap) continue;  // the rest is only checked
        NodeValue& node = py::value_of<NodeValue>(value);
        if (!node_type_fits(p, node.type)) continue;
        const int fits = properties_match_plain(p.properties, node.properties.get());
        if (fits < 0) return true;
        if (!fits) continue;
        if (!node.properties) {
            // Making its dict may run a collection, and so finalizers.
            Ref hold = Ref::borrow(value);
            if (!ensure_properties(node.properties)) return false;
            if (dict_version(nodes) != version || PyDict_GET_SIZE(nodes) != size) return true;
        }
        out.push_back(Bound::node(value, node.properties.get()));
    }
    done = true;
    return true;
}

// ---- node matches as producers -------------------------------------------------------

// A node match takes its candidates first (every node, or those of its
// type), then tests them in order as rows are asked for -- or, when the
// whole pass can run no Python code, finds every row in that one pass.
class NodeProducer : public MatchProducer {
public:
    NodeProducer(const QueryValue& q, const NodePatternValue& p, const Counted& counted)
        : q_(q), p_(p), positions_({&p.variable}, counted) {}

    bool produce(std::uint64_t rows) override {
        if (!started_) {
            started_ = true;
            bool done = false;
            if (q_.graph.nodes && !p_.type_obj && !exact_type_of(p_)) {
                if (!match_nodes_plainly(q_, p_, plan::kAll, candidates_, done)) return false;
                if (!done) candidates_.clear();
            }
            tested_ = done;
            if (!done && !node_candidates(q_, p_, candidates_)) return false;
        }
        Ticker tick;
        while (next_ < candidates_.size() && positions_.rows() < rows) {
            if (!tick.ok()) return false;
            Bound& node = candidates_[next_++];
            bool ok = tested_;
            if (!ok) {
                Ref props = Ref::borrow(node.properties());
                if (!node_matches(p_, node.type(), props, ok)) return false;
            }
            if (!ok) continue;
            if (positions_.kept(0)) positions_.add(0, std::move(node));
            positions_.row_done();
        }
        return true;
    }
    bool exhausted() const override { return started_ && next_ >= candidates_.size(); }
    std::size_t rows() const override { return positions_.rows(); }
    const Column* column(const std::string& name) const override { return positions_.column(name); }
    void bind_to(QueryValue& q) override { positions_.bind_to(q); }

private:
    const QueryValue& q_;
    const NodePatternValue& p_;
    Positions positions_;
    Column candidates_;
    std::size_t next_ = 0;
    bool started_ = false;
    bool tested_ = false;  // the candidates are the rows already
};

}  // namespace

// ---- the walk over edges ---------------------------------------------------------------

EdgeWalk::EdgeWalk(PyObject* edges, std::shared_ptr<const EdgeIndex> index, OrdinalSpan candidates, Skip skip,
                   PassOver pass_over)
    : edges_(edges),
      size_(edges ? PyDict_GET_SIZE(edges) : 0),
      index_(std::move(index)),
      candidates_(candidates),
      skip_(std::move(skip)),
      pass_over_(std::move(pass_over)) {
    if (!index_ && edges_) walk_.emplace(edges_, size_, 0);
}

bool EdgeWalk::next(Ref& edge) {
    edge = Ref();
    if (index_) {
        while (at_ < candidates_.size()) {
            const std::uint32_t ordinal = candidates_.first[at_++];
            if (skip_ && skip_(ordinal)) continue;
            if (!tick_.ok()) return false;
            if (!index_current(edges_, *index_)) break;
            const Py_ssize_t pos = index_->pos[ordinal];
            Ref e = Ref::borrow(entry_at(edges_, pos));
            resume_ = pos + 1;
            if (pass_over_(py::value_of<EdgeValue>(e.get()))) continue;
            if (!ready_edge(e.get())) return false;
            edge = std::move(e);
            return true;
        }
        // Done with the candidates -- unless user code changed the dict,
        // which the walk would go on reading (and fail on if the size changed).
        if (index_current(edges_, *index_)) return true;
        index_.reset();
        walk_.emplace(edges_, size_, resume_);
    }
    return from_walk(edge);
}

bool EdgeWalk::from_walk(Ref& edge) {
    if (!walk_) return true;
    PyTypeObject* cls = edge_type();
    Ref key, value;
    for (;;) {
        auto step = walk_->next(key, value);
        if (step == py::DictWalk::Error) return false;
        if (step == py::DictWalk::Done) {
            walk_.reset();
            return true;
        }
        if (!tick_.ok()) return false;
        PyObject* v = value.get();
        if (Py_TYPE(v) == cls && py::box<EdgeValue>(v)->borrow.state >= 0 &&
            pass_over_(py::value_of<EdgeValue>(v)))
            continue;
        if (!ready_edge(v)) return false;
        edge = std::move(value);
        return true;
    }
}

namespace {

// ---- single edges ---------------------------------------------------------------------

// A match over single edges, each row its start node, the edge, its end node:
// the single step and the edge form. `test(edge, fits)` decides each edge
// the walk hands out.
class EdgeProducer : public MatchProducer {
public:
    using Test = std::function<bool(PyObject*, bool&)>;

    EdgeProducer(EdgeWalk walk, Test test, const std::optional<std::string>& start,
                 const std::optional<std::string>& edge, const std::optional<std::string>& end,
                 const Counted& counted)
        : walk_(std::move(walk)), test_(std::move(test)), positions_({&start, &edge, &end}, counted) {}

    bool produce(std::uint64_t rows) override {
        try {
            while (!exhausted_ && positions_.rows() < rows) {
                Ref edge;
                if (!walk_.next(edge)) return false;
                if (!edge) {
                    exhausted_ = true;
                    break;
                }
                bool fits = false;
                if (!test_(edge.get(), fits)) return false;
                if (fits) add(edge.get());
            }
            return true;
        } catch (const std::bad_alloc&) {
            return out_of_memory("edges", positions_.rows());
        }
    }
    bool exhausted() const override { return exhausted_; }
    std::size_t rows() const override { return positions_.rows(); }
    const Column* column(const std::string& name) const override { return positions_.column(name); }
    void bind_to(QueryValue& q) override { positions_.bind_to(q); }

private:
    void add(PyObject* edge) {
        if (positions_.kept(0)) positions_.add(0, edge_end(edge, true));
        if (positions_.kept(1))
            positions_.add(1, Bound::edge(edge, py::value_of<EdgeValue>(edge).properties.get()));
        if (positions_.kept(2)) positions_.add(2, edge_end(edge, false));
        positions_.row_done();
    }

    EdgeWalk walk_;
    Test test_;
    Positions positions_;
    bool exhausted_ = false;
};

// The edge form: edges passing the pattern (term, term type schema,
// properties), with their own ends.
std::unique_ptr<MatchProducer> edge_form(QueryValue& q, const MatchEdge& m, const Counted& counted) {
    EdgeWalk walk(q.graph.edges.get(), nullptr, OrdinalSpan(), nullptr,
                  [&m](const EdgeValue& e) { return !edge_term_fits(m.pattern, e); });
    auto test = [&m](PyObject* edge, bool& fits) {
        return edge_pattern_matches(m.pattern, py::value_of<EdgeValue>(edge), fits);
    };
    return std::make_unique<EdgeProducer>(std::move(walk), test, m.start, m.pattern.variable, m.end, counted);
}

// The single step: two node patterns and one forward edge pattern with
// neither term nor properties. Every edge in dict order: its term's type
// against the schema, then its start node against the first pattern (type,
// schema, properties), then its end node against the second.
std::unique_ptr<MatchProducer> single_step(QueryValue& q, const PathPatternValue& path,
                                           const Counted& counted) {
    const NodePatternValue& from = path.nodes[0];
    const NodePatternValue& to = path.nodes[1];
    const EdgePatternValue& via = path.edges[0];
    PyObject* edges = q.graph.edges.get();
    auto test = [&from, &to, &via](PyObject* edge, bool& fits) {
        const EdgeValue& e = py::value_of<EdgeValue>(edge);
        fits = false;
        if (via.term_type_schema && !via.term_type_schema->matches_type(*e.term->type())) return true;
        if (!node_matches(from, e.start.type, e.start.properties, fits)) return false;
        return !fits || node_matches(to, e.end.type, e.end.properties, fits);
    };
    // What a walk rejects before any property comparison: the schema, the
    // start node's type; the end node's type only when the start has no
    // properties to compare first.
    const bool end_is_pure = from.properties.empty();
    auto pass_over = [&from, &to, &via, end_is_pure](const EdgeValue& e) {
        if (via.term_type_schema && !via.term_type_schema->matches_type(*e.term->type())) return true;
        if (!node_type_fits(from, e.start.type)) return true;
        return end_is_pure && !node_type_fits(to, e.end.type);
    };
    // An exact start type (or, failing that, end type) names the edges a
    // walk would not pass over.
    const TypeRef from_type = exact_type_of(from), to_type = exact_type_of(to);
    std::shared_ptr<const EdgeIndex> index;
    OrdinalSpan candidates;
    if (edges && (from_type || (to_type && end_is_pure))) {
        index = current_edge_index(edges, q.graph.index.get());
        if (!index && PyErr_Occurred()) return nullptr;
    }
    if (index) {
        const std::uint32_t from_gid = from_type ? index->types.find(from_type->digest()) : TypeGroups::kNone;
        const std::uint32_t to_gid = to_type ? index->types.find(to_type->digest()) : TypeGroups::kNone;
        if (from_type && to_type && end_is_pure)
            candidates = index->between(from_gid, to_gid);  // both types: only the edges between them
        else if (from_type)
            candidates =
                OrdinalSpan(from_gid == TypeGroups::kNone ? nullptr : index->by_start.find(from_gid));
        else
            candidates = OrdinalSpan(to_gid == TypeGroups::kNone ? nullptr : index->by_end.find(to_gid));
    }
    EdgeWalk walk(edges, std::move(index), candidates, nullptr, pass_over);
    return std::make_unique<EdgeProducer>(std::move(walk), test, from.variable, via.variable, to.variable,
                                          counted);
}

bool plain_single_step(const PathPatternValue& path) {
    if (path.nodes.size() != 2 || path.edges.size() != 1) return false;
    const EdgePatternValue& e = path.edges[0];
    return plan::reading_of(e.direction) == Reading::Forward && !e.term && e.properties.empty() && !e.hops;
}

}  // namespace

std::unique_ptr<MatchProducer> make_producer(QueryValue& q, const MatchOp& op, const Counted& counted) {
    if (const auto* node = std::get_if<NodePatternValue>(&op))
        return std::make_unique<NodeProducer>(q, *node, counted);
    if (const auto* edge = std::get_if<MatchEdge>(&op)) return edge_form(q, *edge, counted);
    const PathPatternValue& path = std::get<PathPatternValue>(op);
    if (path.nodes.empty() || path.nodes.size() != path.edges.size() + 1) {
        raise(QuorvelError::invalid_query("a path needs one more node than edges", "match"));
        return nullptr;
    }
    if (path.edges.empty()) return std::make_unique<NodeProducer>(q, path.nodes[0], counted);
    if (plain_single_step(path)) return single_step(q, path, counted);
    return make_path_producer(q, path, counted);
}

bool execute_match(QueryValue& q, const MatchOp& op, const plan::Demand& demand) {
    auto producer = make_producer(q, op, Counted(demand));
    if (!producer || !producer->produce(demand.rows)) return false;
    producer->bind_to(q);
    return true;
}

}  // namespace quorvel
