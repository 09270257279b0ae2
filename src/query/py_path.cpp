// Paths of any length and direction.
//
// A pattern of k nodes and k-1 edges matches every trail (no edge twice) in
// which each edge joins its neighbours in its direction; consecutive edges
// connect when the node one arrives at has the same type (so the same uid)
// as the node the next leaves from. Rows come depth first from the left, in
// graph.edges order, forward before backward.
//
// The walk extends each partial path only through the edges leaving the
// node it has reached, found by type in an edge index, so its cost is that
// of the edges it touches. The first step starts from the index as well
// when its leaving node, or else its arriving node, has an exact type.
// Every candidate (position, edge, direction) is tested at most once: first
// the tests that run no Python code (term, schemas, types), then the
// property comparisons (the edge's, the leaving node's at the first step,
// the arriving node's).
//
// Without a usable index (see graph/py_index.hpp) the edges are first taken
// from a walk of the dict -- every value must be an Edge -- and grouped the
// same way; with one, the dict is read in place. Either way the dict must
// stay unchanged while the match runs: user code that changes it stops the
// match with RuntimeError, as a dict iterator would.
#include <algorithm>
#include <new>

#include "binding/dict_walk.hpp"
#include "query/py_engine.hpp"

namespace quorvel {

using plan::Reading;
using py::Ref;

namespace {

// The graph's edges, read through the live index or from a snapshot.
class EdgeSource {
public:
    bool open(const QueryValue& q) {
        dict_ = q.graph.edges.get();
        if (!dict_) {
            own_ = std::make_shared<EdgeIndex>();
            index_ = own_;
            return true;
        }
        size_ = PyDict_GET_SIZE(dict_);
        index_ = current_edge_index(dict_, q.graph.index.get());
        if (index_) return true;
        if (PyErr_Occurred()) return false;
        own_ = std::make_shared<EdgeIndex>();
        py::DictWalk walk(dict_);
        Ref key, value;
        Ticker tick;
        for (;;) {
            auto step = walk.next(key, value);
            if (step == py::DictWalk::Error) return false;
            if (step == py::DictWalk::Done) break;
            if (!tick.ok() || !ready_edge(value.get())) return false;
            const EdgeValue& e = py::value_of<EdgeValue>(value.get());
            const std::uint32_t s = own_->types.intern(*e.start.type);
            const std::uint32_t t = own_->types.intern(*e.end.type);
            const auto ordinal = static_cast<std::uint32_t>(objects_.size());
            own_->start_gid.push_back(s);
            own_->end_gid.push_back(t);
            own_->by_start.add(s, ordinal);
            own_->by_end.add(t, ordinal);
            objects_.push_back(std::move(value));
        }
        index_ = own_;
        size_ = PyDict_GET_SIZE(dict_);
        version_ = dict_version(dict_);
        return true;
    }

    const EdgeIndex& index() const { return *index_; }
    std::size_t size() const { return own_ ? objects_.size() : index_->size(); }
    PyObject* object(std::uint32_t ordinal) const {
        return own_ ? objects_[ordinal].get() : entry_at(dict_, index_->pos[ordinal]);
    }
    // False, with RuntimeError set, when the dict changed since the match
    // began reading it (as far as can be told without versions: its size).
    bool unchanged() const {
        if (!dict_) return true;
        if (own_ ? dict_version(dict_) == version_ && PyDict_GET_SIZE(dict_) == size_
                 : index_current(dict_, *index_))
            return true;
        return dict_changed(dict_, size_);
    }

private:
    PyObject* dict_ = nullptr;
    Py_ssize_t size_ = 0;
    std::uint64_t version_ = 0;  // a snapshot's dict state, where versions exist
    std::shared_ptr<const EdgeIndex> index_;
    std::shared_ptr<EdgeIndex> own_;  // a snapshot's grouping
    std::vector<Ref> objects_;        // a snapshot's edges
};

// Ordinals in dict order: a run of the index's groupings, or every edge.
struct Ordinals {
    OrdinalSpan span;
    bool listed = false;
    std::uint32_t all = 0;  // when not listed: 0 .. all-1
    std::size_t size() const { return listed ? span.size() : all; }
    std::uint32_t operator[](std::size_t i) const {
        return listed ? span.first[i] : static_cast<std::uint32_t>(i);
    }
    static Ordinals of(OrdinalSpan s) {
        Ordinals o;
        o.span = s;
        o.listed = true;
        return o;
    }
};

// Every node and edge position of a path, in binding order.
std::vector<const std::optional<std::string>*> names_of(const PathPatternValue& path) {
    std::vector<const std::optional<std::string>*> names;
    for (std::size_t i = 0; i < path.nodes.size(); ++i) {
        names.push_back(&path.nodes[i].variable);
        if (i < path.edges.size()) names.push_back(&path.edges[i].variable);
    }
    return names;
}

// A node a segment of the path begins or ends at: one end of an edge (read
// through the edge object) or a node stored in graph.nodes.
struct NodeAt {
    PyObject* holder = nullptr;  // a stored node (an edge end is found by its ordinal)
    Bound::Kind kind = Bound::Kind::Node;
    std::uint32_t gid = TypeGroups::kNone;
    std::uint32_t ordinal = 0;  // an edge end: the edge's ordinal
};

class PathMatcher : public MatchProducer {
public:
    PathMatcher(QueryValue& q, const PathPatternValue& path, const Counted& counted)
        : q_(q),
          path_(path),
          segments_(path.edges.size()),
          positions_(names_of(path), counted),
          counting_(!positions_.any_kept()) {
        for (const NodePatternValue& n : path.nodes)
            open_node_.push_back(!n.type_obj && !n.type_schema && n.properties.empty());
        for (const EdgePatternValue& e : path.edges) {
            open_hop_.push_back(!e.term && !e.term_type_schema && e.properties.empty());
            readings_.push_back(plan::reading_of(e.direction));
            lo_.push_back(e.hops ? e.hops->min : 1);
            hi_.push_back(e.hops ? e.hops->max : 1);
            variable_ = variable_ || e.hops;
        }
    }

    bool open() {
        if (!source_.open(q_)) return false;
        const EdgeIndex& x = source_.index();
        edge_ok_.resize(segments_);
        end_ok_.resize(segments_);
        // Where a node pattern names one type, the index's groups answer its
        // type test without reading the edge.
        for (std::size_t j = 1; j <= segments_; ++j) {
            TypeRef t = exact_type_of(path_.nodes[j]);
            node_gid_.push_back(t ? x.types.find(t->digest()) : kAnyGid);
        }
        if (variable_) used_.assign(source_.size(), 0);
        ends_.resize(segments_ + 1);
        begins_.resize(segments_ + 1);
        // Zero-length paths from the start: every stored node the first
        // pattern takes, before any path with an edge.
        if (lo_[0] == 0 && !node_candidates(q_, path_.nodes[0], starts_)) return false;
        // A node pattern naming a type no edge reaches or leaves ends every
        // path before it starts (unless a path of no hop could stand in).
        const bool all_hops = std::none_of(lo_.begin(), lo_.end(), [](std::uint32_t lo) { return lo == 0; });
        if (all_hops && std::find(node_gid_.begin(), node_gid_.end(), TypeGroups::kNone) != node_gid_.end())
            return true;
        frames_.push_back(Frame::segment(0, NodeAt{}, false));
        return true;
    }

    bool produce(std::uint64_t rows) override {
        Ticker tick;
        try {
            while (!frames_.empty() && positions_.rows() < rows) {
                if (!tick.ok() || !source_.unchanged() || !step()) return false;
            }
            return true;
        } catch (const std::bad_alloc&) {
            PyErr_Format(PyExc_MemoryError, "out of memory after %zu paths (match)", positions_.rows());
            return false;
        }
    }
    bool exhausted() const override { return frames_.empty(); }
    std::size_t rows() const override { return positions_.rows(); }
    const Column* column(const std::string& name) const override { return positions_.column(name); }
    void bind_to(QueryValue& q) override { positions_.bind_to(q); }

private:
    static constexpr std::uint32_t kAnyGid = TypeGroups::kNone - 1;

    struct Step {
        std::uint32_t ordinal;
        bool backward;
    };

    // The stack of the walk. A segment frame tries the lengths of segment
    // `seg` in turn from the node `at` (the root frame, for segment 0 with no
    // node yet, starts from every candidate edge); a hop frame goes through
    // the candidate edges of one hop of a trail of length `length`.
    struct Frame {
        bool hop = false;
        bool owns_step = false;  // popping it takes back the step pushed before it
        std::size_t seg = 0;
        NodeAt at;
        std::uint32_t length = 0;  // segment: the length being tried (0: none yet); hop: the target
        std::uint32_t depth = 0;   // hop: hops taken in this segment before this one
        bool found = false;        // segment: a trail of `length` hops was found
        bool zero_done = false;    // segment: the path of no hops was tried
        std::size_t owner = 0;     // hop: the segment frame it serves
        Ordinals forward, backward;
        std::size_t f = 0, b = 0;

        static Frame segment(std::size_t seg, NodeAt at, bool owns_step) {
            Frame fr;
            fr.seg = seg;
            fr.at = at;
            fr.owns_step = owns_step;
            return fr;
        }
    };

    static Ordinals group(const Groups& g, std::uint32_t gid) {
        return Ordinals::of(OrdinalSpan(gid == TypeGroups::kNone ? nullptr : g.find(gid)));
    }

    // The candidate edges of a hop of segment `seg` leaving group `gid`. A
    // one-hop segment ending at a node pattern that names a type takes only
    // the edges between the two groups. (A longer segment tries its lengths
    // until one has no trail at all, so its last hop must see every edge.)
    void leaving(Frame& fr, std::uint32_t gid, bool ends_segment) const {
        const EdgeIndex& x = source_.index();
        const std::uint32_t target = node_gid_[fr.seg];
        if (ends_segment && target != kAnyGid && lo_[fr.seg] == 1 && hi_[fr.seg] == 1) {
            if (readings_[fr.seg] != Reading::Backward) fr.forward = Ordinals::of(x.between(gid, target));
            if (readings_[fr.seg] != Reading::Forward) fr.backward = Ordinals::of(x.between(target, gid));
            return;
        }
        if (readings_[fr.seg] != Reading::Backward) fr.forward = group(x.by_start, gid);
        if (readings_[fr.seg] != Reading::Forward) fr.backward = group(x.by_end, gid);
    }

    // The candidates of the path's first hop: through the index when the
    // first node pattern, or a one-hop first segment's second, names a type.
    void first_hop(Frame& fr) const {
        const EdgeIndex& x = source_.index();
        if (TypeRef t = exact_type_of(path_.nodes[0]))
            return leaving(fr, x.types.find(t->digest()), fr.length == 1);
        if (lo_[0] == 1 && hi_[0] == 1 && node_gid_[0] != kAnyGid) {
            if (readings_[0] != Reading::Backward) fr.forward = group(x.by_end, node_gid_[0]);
            if (readings_[0] != Reading::Forward) fr.backward = group(x.by_start, node_gid_[0]);
            return;
        }
        const auto all = static_cast<std::uint32_t>(source_.size());
        if (readings_[0] != Reading::Backward) fr.forward.all = all;
        if (readings_[0] != Reading::Forward) fr.backward.all = all;
    }

    // The next candidate of a hop frame in dict order, forward first.
    bool next(Frame& fr, Step& out) const {
        for (;;) {
            const bool has_f = fr.f < fr.forward.size(), has_b = fr.b < fr.backward.size();
            if (!has_f && !has_b) return false;
            if (has_f && (!has_b || fr.forward[fr.f] <= fr.backward[fr.b])) {
                out = {fr.forward[fr.f++], false};
                return true;
            }
            out = {fr.backward[fr.b++], true};
            // An undirected self-loop is one row, read forward.
            const EdgeIndex& x = source_.index();
            if (readings_[fr.seg] == Reading::Any && x.start_gid[out.ordinal] == x.end_gid[out.ordinal])
                continue;
            return true;
        }
    }

    // An edge's end as a place of the path: by ordinal, the object read only
    // when a row or a property test needs it.
    NodeAt arrival(const Step& s) const {
        const EdgeIndex& x = source_.index();
        return {nullptr, s.backward ? Bound::Kind::EdgeStart : Bound::Kind::EdgeEnd,
                s.backward ? x.start_gid[s.ordinal] : x.end_gid[s.ordinal], s.ordinal};
    }
    NodeAt departure(const Step& s) const {
        const EdgeIndex& x = source_.index();
        return {nullptr, s.backward ? Bound::Kind::EdgeEnd : Bound::Kind::EdgeStart,
                s.backward ? x.end_gid[s.ordinal] : x.start_gid[s.ordinal], s.ordinal};
    }

    // A memoized test of (edge, direction): 2 bits per edge and direction.
    template <class Test>
    bool memo(std::vector<std::uint8_t>& table, const Step& s, bool& result, Test&& test) {
        if (table.empty()) table.assign(source_.size(), 0);
        const int shift = s.backward ? 2 : 0;
        const int state = (table[s.ordinal] >> shift) & 3;
        if (state) {
            result = state == 2;
            return true;
        }
        // A signal handler (run by the walk's checks) may have changed the dict.
        if (!source_.unchanged()) return false;
        Ref object = Ref::borrow(source_.object(s.ordinal));
        if (!ready_edge(object.get())) return false;
        if (!test(py::value_of<EdgeValue>(object.get()), result)) return false;
        if (!source_.unchanged()) return false;
        table[s.ordinal] = static_cast<std::uint8_t>(table[s.ordinal] | ((result ? 2 : 1) << shift));
        return true;
    }

    // A hop of segment `seg`: its term and properties; at the path's first
    // hop, its leaving node against the first node pattern too. The tests
    // that run no Python code come first.
    bool hop_passes(std::size_t seg, bool first, const Step& s, bool& result) {
        // Counting, a hop with nothing to test passes without being read.
        if (counting_ && open_hop_[seg] && (!first || open_node_[0])) {
            result = true;
            return true;
        }
        auto& table = first ? start_ok_ : edge_ok_[seg];
        return memo(table, s, result, [&](const EdgeValue& e, bool& ok) {
            const EdgePatternValue& via = path_.edges[seg];
            const NodeValue& from = s.backward ? e.end : e.start;
            ok = edge_term_fits(via, e) && (!first || node_type_fits(path_.nodes[0], from.type));
            if (ok && !properties_match(via.properties, e.properties, ok)) return false;
            return !ok || !first || node_matches(path_.nodes[0], from.type, from.properties, ok);
        });
    }

    // Whether a node ending segment `seg` passes the next node pattern.
    bool end_passes(std::size_t seg, const NodeAt& at, bool& result) {
        const std::uint32_t want = node_gid_[seg];
        if (want != kAnyGid && at.gid != want) {
            result = false;
            return true;
        }
        const NodePatternValue& p = path_.nodes[seg + 1];
        if (counting_ && open_node_[seg + 1]) {
            result = true;
            return true;
        }
        if (at.kind == Bound::Kind::Node) {
            const NodeValue& n = py::value_of<NodeValue>(at.holder);
            return node_matches(p, n.type, n.properties, result);
        }
        Step s{at.ordinal, at.kind == Bound::Kind::EdgeStart};
        return memo(end_ok_[seg], s, result, [&](const EdgeValue& e, bool& ok) {
            const NodeValue& n = at.kind == Bound::Kind::EdgeStart ? e.start : e.end;
            return node_matches(p, n.type, n.properties, ok);
        });
    }

    void push_step(const Step& s) {
        chosen_.push_back(s);
        if (variable_) used_[s.ordinal] = 1;
    }
    void pop_step() {
        if (variable_) used_[chosen_.back().ordinal] = 0;
        chosen_.pop_back();
    }
    bool used(const Step& s) const {
        if (variable_) return used_[s.ordinal] != 0;
        for (const Step& c : chosen_)
            if (c.ordinal == s.ordinal) return true;
        return false;
    }

    void pop_frame() {
        const bool owns = frames_.back().owns_step;
        frames_.pop_back();
        if (owns) pop_step();
    }

    // Segment `seg` ends at `at`: the next node pattern decides, then the
    // next segment begins there (or the row is complete). `owns_step`: the
    // step just pushed is taken back with what this pushes.
    bool segment_ends(std::size_t seg, const NodeAt& at, bool owns_step) {
        bool ok = false;
        if (!end_passes(seg, at, ok)) return false;
        if (ok) {
            ends_[seg + 1] = at;
            if (seg + 1 == segments_) {
                if (!add_row()) return false;
            } else {
                begins_[seg + 1] = chosen_.size();
                frames_.push_back(Frame::segment(seg + 1, at, owns_step));
                return true;
            }
        }
        if (owns_step) pop_step();
        return true;
    }

    // One move of the walk.
    bool step() {
        Frame& fr = frames_.back();
        if (!fr.hop) return step_segment();
        Step s;
        if (!next(fr, s)) {
            pop_frame();
            return true;
        }
        if (used(s)) return true;
        const std::size_t seg = fr.seg;
        const bool first = seg == 0 && fr.depth == 0 && chosen_.empty();
        bool ok = false;
        if (!hop_passes(seg, first, s, ok)) return false;
        if (!ok) return true;
        if (first) ends_[0] = departure(s);
        const std::uint32_t depth = fr.depth + 1, length = fr.length;
        const std::size_t owner = fr.owner;
        push_step(s);
        const NodeAt at = arrival(s);
        if (depth == length) {
            frames_[owner].found = true;
            return segment_ends(seg, at, true);
        }
        Frame hop;
        hop.hop = true;
        hop.owns_step = true;
        hop.seg = seg;
        hop.depth = depth;
        hop.length = length;
        hop.owner = owner;
        leaving(hop, at.gid, depth + 1 == length);
        frames_.push_back(hop);
        return true;
    }

    // A segment frame: zero hops first (when allowed), then each length in
    // turn, shortest first, until the maximum or a length with no trail.
    bool step_segment() {
        const std::size_t index = frames_.size() - 1;
        Frame& fr = frames_.back();
        const std::size_t seg = fr.seg;
        const bool root = index == 0;
        if (fr.length == 0 && lo_[seg] == 0 && !fr.zero_done) {
            if (!root) {
                fr.zero_done = true;
                return segment_ends(seg, fr.at, false);
            }
            // The root: each stored node the first pattern takes, as a path
            // of no edge, one at a time and in order.
            if (next_start_ == starts_.size()) {
                fr.zero_done = true;
                return true;
            }
            const Bound& start = starts_[next_start_++];
            bool ok = false;
            Ref props = Ref::borrow(start.properties());
            if (!node_matches(path_.nodes[0], start.type(), props, ok)) return false;
            if (!ok) return true;
            const NodeAt at{start.object(), Bound::Kind::Node,
                            source_.index().types.find(start.type()->digest()), 0};
            ends_[0] = at;
            return segment_ends(seg, at, false);
        }
        const std::uint32_t next_length =
            fr.length == 0 ? std::max<std::uint32_t>(lo_[seg], 1) : fr.length + 1;
        const bool gave_up = fr.length > 0 && !fr.found;  // no trail of the last length: none longer
        if (next_length > hi_[seg] || next_length == 0 || gave_up) {
            pop_frame();
            return true;
        }
        fr.length = next_length;
        fr.found = false;
        Frame hop;
        hop.hop = true;
        hop.seg = seg;
        hop.length = next_length;
        hop.owner = index;
        begins_[seg] = chosen_.size();
        if (root)
            first_hop(hop);
        else
            leaving(hop, fr.at.gid, next_length == 1);
        frames_.push_back(hop);
        return true;
    }

    Bound node_bound(const NodeAt& at) const {
        if (at.kind == Bound::Kind::Node)
            return Bound::node(at.holder, py::value_of<NodeValue>(at.holder).properties.get());
        PyObject* edge = source_.object(at.ordinal);
        const EdgeValue& e = py::value_of<EdgeValue>(edge);
        const bool start = at.kind == Bound::Kind::EdgeStart;
        return Bound::edge_end(edge, start, (start ? e.start : e.end).properties.get());
    }

    bool add_row() {
        if (counting_) {  // nothing to keep
            positions_.row_done();
            return true;
        }
        // The lists of edges first: a collection run by making them may
        // change the dict, which the pointers read after must not see.
        std::vector<Ref> lists(segments_);
        for (std::size_t j = 0; j < segments_; ++j) {
            if (!path_.edges[j].hops || !positions_.kept(2 * j + 1)) continue;
            const std::size_t to = j + 1 < segments_ ? begins_[j + 1] : chosen_.size();
            lists[j] = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(to - begins_[j])));
            if (!lists[j]) return false;
        }
        if (!source_.unchanged()) return false;
        for (std::size_t j = 0; j <= segments_; ++j) {
            if (positions_.kept(2 * j)) positions_.add(2 * j, node_bound(ends_[j]));
            if (j == segments_ || !positions_.kept(2 * j + 1)) continue;
            const std::size_t from = begins_[j];
            const std::size_t to = j + 1 < segments_ ? begins_[j + 1] : chosen_.size();
            if (!path_.edges[j].hops) {
                PyObject* e = source_.object(chosen_[from].ordinal);
                positions_.add(2 * j + 1, Bound::edge(e, py::value_of<EdgeValue>(e).properties.get()));
                continue;
            }
            for (std::size_t k = from; k < to; ++k)
                PyTuple_SET_ITEM(lists[j].get(), static_cast<Py_ssize_t>(k - from),
                                 Ref::borrow(source_.object(chosen_[k].ordinal)).release());
            positions_.add(2 * j + 1, Bound::edge_list(std::move(lists[j])));
        }
        positions_.row_done();
        return true;
    }

    QueryValue& q_;
    const PathPatternValue& path_;
    const std::size_t segments_;
    Positions positions_;
    const bool counting_;
    std::vector<bool> open_node_, open_hop_;  // patterns with nothing to test
    std::vector<Reading> readings_;
    std::vector<std::uint32_t> lo_, hi_;
    bool variable_ = false;  // some segment has a variable length
    EdgeSource source_;
    std::vector<std::vector<std::uint8_t>> edge_ok_, end_ok_;
    std::vector<std::uint8_t> start_ok_;
    std::vector<std::uint32_t> node_gid_;  // per segment: the group its end node must have, or kAnyGid
    std::vector<std::uint8_t> used_;       // edges on the current trail (variable lengths)
    std::vector<NodeAt> ends_;             // per node position: where the current path is
    std::vector<std::size_t> begins_;      // per segment: its first step in chosen_
    Column starts_;                        // zero-length starts: stored nodes
    std::size_t next_start_ = 0;
    std::vector<Frame> frames_;
    std::vector<Step> chosen_;
};

// The distinct end nodes of `(a)-[*lo..hi]->(b)` (one variable-length edge
// read forward or backward, lo at most 1, no property maps anywhere), in the
// order in which the enumeration of trails would first reach each: found by
// a breadth-first search, never by listing the trails.
//
// Why the answers are the same: a shortest walk to a node is a path, so a
// trail; every node on it is at its own distance; and the trails of one
// length come in graph.edges order, so the first to reach a node is the one
// whose every prefix was itself first -- which is the order in which the
// search discovers nodes, level by level, frontier by frontier. The start
// nodes are not marked seen in advance: one reached again by a cycle is an
// end node at that cycle's length, as a trail would make it. The tests left
// (types, schemas, terms) depend on the node or edge alone, so it does not
// matter which of several trails brings them.
class ReachProducer : public MatchProducer {
public:
    ReachProducer(QueryValue& q, const PathPatternValue& path)
        : q_(q), path_(path), positions_({&path.nodes[1].variable}, Counted()) {}

    static bool eligible(const PathPatternValue& path) {
        if (path.nodes.size() != 2 || path.edges.size() != 1) return false;
        const EdgePatternValue& e = path.edges[0];
        const Reading r = plan::reading_of(e.direction);
        return e.hops && e.hops->min <= 1 && r != Reading::Any && e.properties.empty() &&
               path.nodes[0].properties.empty() && path.nodes[1].properties.empty() && path.nodes[1].variable;
    }

    bool open() { return source_.open(q_); }

    bool produce(std::uint64_t) override {
        if (done_) return true;
        done_ = true;
        const EdgeIndex& x = source_.index();
        const NodePatternValue& from = path_.nodes[0];
        const NodePatternValue& to = path_.nodes[1];
        const EdgePatternValue& via = path_.edges[0];
        const bool backward = plan::reading_of(via.direction) == Reading::Backward;
        const std::uint32_t hi = via.hops->max;
        std::vector<std::uint8_t> seen(x.types.size(), 0), shown(x.types.size(), 0);
        Ticker tick;
        // Zero hops: the stored nodes the first pattern takes, in order.
        if (via.hops->min == 0) {
            Column starts;
            if (!node_candidates(q_, from, starts)) return false;
            for (const Bound& n : starts) {
                if (!tick.ok() || !source_.unchanged()) return false;
                if (!node_type_fits(from, n.type()) || !node_type_fits(to, n.type())) continue;
                const std::uint32_t gid = x.types.find(n.type()->digest());
                if (gid != TypeGroups::kNone) {
                    if (shown[gid]) continue;
                    shown[gid] = 1;
                }
                positions_.add(0, n);
                positions_.row_done();
            }
        }
        if (hi == 0) return true;
        // Level one: every first hop, in order.
        std::vector<std::pair<std::uint32_t, std::uint32_t>>
            frontier;  // (gid, ordinal of the edge that came)
        auto reach = [&](std::uint32_t ordinal) -> bool {
            if (!source_.unchanged()) return false;
            const std::uint32_t gid = backward ? x.start_gid[ordinal] : x.end_gid[ordinal];
            if (seen[gid]) return true;
            seen[gid] = 1;
            frontier.emplace_back(gid, ordinal);
            PyObject* edge = source_.object(ordinal);
            const EdgeValue& e = py::value_of<EdgeValue>(edge);
            const NodeValue& end = backward ? e.start : e.end;
            if (shown[gid] || !node_type_fits(to, end.type)) return true;
            shown[gid] = 1;
            Ref hold = Ref::borrow(edge);
            if (!ready_edge(edge)) return false;
            positions_.add(0, Bound::edge_end(edge, backward, (backward ? e.start : e.end).properties.get()));
            positions_.row_done();
            return true;
        };
        auto passes = [&](std::uint32_t ordinal, bool first) {
            const EdgeValue& e = py::value_of<EdgeValue>(source_.object(ordinal));
            return edge_term_fits(via, e) &&
                   (!first || node_type_fits(from, (backward ? e.end : e.start).type));
        };
        const Groups& leaving = backward ? x.by_end : x.by_start;
        auto first_hops = [&](auto&& each) {
            if (TypeRef t = exact_type_of(from)) {
                const std::uint32_t gid = x.types.find(t->digest());
                if (const auto* list = gid == TypeGroups::kNone ? nullptr : leaving.find(gid))
                    for (std::uint32_t o : *list)
                        if (!each(o)) return false;
                return true;
            }
            for (std::uint32_t o = 0; o < source_.size(); ++o)
                if (!each(o)) return false;
            return true;
        };
        if (!first_hops([&](std::uint32_t o) {
                if (!tick.ok() || !source_.unchanged()) return false;
                return !passes(o, true) || reach(o);
            }))
            return false;
        for (std::uint32_t level = 2; level <= hi && !frontier.empty(); ++level) {
            std::vector<std::pair<std::uint32_t, std::uint32_t>> current;
            current.swap(frontier);
            for (const auto& [gid, came] : current) {
                (void)came;
                const auto* list = leaving.find(gid);
                if (!list) continue;
                for (std::uint32_t o : *list) {
                    if (!tick.ok() || !source_.unchanged()) return false;
                    if (passes(o, false) && !reach(o)) return false;
                }
            }
        }
        return true;
    }
    bool exhausted() const override { return done_; }
    std::size_t rows() const override { return positions_.rows(); }
    const Column* column(const std::string& name) const override { return positions_.column(name); }
    void bind_to(QueryValue& q) override { positions_.bind_to(q); }

private:
    QueryValue& q_;
    const PathPatternValue& path_;
    Positions positions_;
    EdgeSource source_;
    bool done_ = false;
};

}  // namespace

std::unique_ptr<MatchProducer> make_reach_producer(QueryValue& q, const PathPatternValue& path) {
    if (!ReachProducer::eligible(path)) return nullptr;
    auto producer = std::make_unique<ReachProducer>(q, path);
    if (!producer->open()) return nullptr;
    return producer;
}

std::unique_ptr<MatchProducer> make_path_producer(QueryValue& q, const PathPatternValue& path,
                                                  const Counted& counted) {
    auto matcher = std::make_unique<PathMatcher>(q, path, counted);
    if (!matcher->open()) return nullptr;
    return matcher;
}

}  // namespace quorvel
