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
#include <new>

#include "binding/dict_walk.hpp"
#include "query/py_engine.hpp"

namespace quorvel {

using py::Ref;
using plan::Reading;


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
            const std::uint32_t s = own_->types.intern(e.start.type->digest());
            const std::uint32_t t = own_->types.intern(e.end.type->digest());
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
        if (own_ ? dict_version(dict_) == version_ && PyDict_GET_SIZE(dict_) == size_ : index_current(dict_, *index_))
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

// Ordinals in dict order: a group of the index, or every edge.
struct Ordinals {
    const std::vector<std::uint32_t>* list = nullptr;
    std::uint32_t all = 0;  // when not a list: 0 .. all-1
    std::size_t size() const { return list ? list->size() : all; }
    std::uint32_t operator[](std::size_t i) const { return list ? (*list)[i] : static_cast<std::uint32_t>(i); }
};

struct Step {
    std::uint32_t ordinal;
    bool backward;
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

class PathMatcher : public MatchProducer {
public:
    PathMatcher(QueryValue& q, const PathPatternValue& path, bool count_only)
        : q_(q), path_(path), hops_(path.edges.size()), positions_(names_of(path), count_only) {
        for (const EdgePatternValue& e : path.edges) readings_.push_back(plan::reading_of(e.direction));
    }

    bool open() {
        if (!source_.open(q_)) return false;
        tested_.resize(hops_);
        // Where a node pattern names one type, the index's groups answer its
        // type test for every candidate without reading the edge.
        const EdgeIndex& x = source_.index();
        for (std::size_t i = 0; i < hops_; ++i) {
            TypeRef t = exact_type_of(path_.nodes[i + 1]);
            arrive_gid_.push_back(t ? x.types.find(t->digest()) : kAnyGid);
        }
        frames_.push_back(first_frame());
        return true;
    }

    // The walk, depth first, until `rows` rows are found or it is done.
    bool produce(std::uint64_t rows) override {
        Ticker tick;
        try {
            while (!frames_.empty() && positions_.rows() < rows) {
                if (!tick.ok()) return false;
                const std::size_t i = frames_.size() - 1;
                Step s;
                if (!next(i, frames_.back(), s)) {
                    frames_.pop_back();
                    if (!chosen_.empty()) chosen_.pop_back();
                    continue;
                }
                if (arrive_gid_[i] != kAnyGid && arriving_gid(s) != arrive_gid_[i]) continue;
                bool used = false;
                for (const Step& c : chosen_) used = used || c.ordinal == s.ordinal;
                if (used) continue;
                bool ok = false;
                if (!passes(i, s, ok)) return false;
                if (!ok) continue;
                chosen_.push_back(s);
                if (chosen_.size() == hops_) {
                    add_row();
                    chosen_.pop_back();
                    continue;
                }
                frames_.push_back(frame_leaving(i + 1, arriving_gid(s)));
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
    std::uint32_t arriving_gid(const Step& s) const {
        const EdgeIndex& x = source_.index();
        return s.backward ? x.start_gid[s.ordinal] : x.end_gid[s.ordinal];
    }

    static Ordinals group(const Groups& g, std::uint32_t gid) {
        Ordinals o;
        static const std::vector<std::uint32_t> none;
        o.list = gid == TypeGroups::kNone ? &none : g.find(gid);
        if (!o.list) o.list = &none;
        return o;
    }

    // The candidates of position `i` leaving nodes of group `gid`, as two
    // ordered lists: edges read forward and edges read backward.
    struct Frame {
        Ordinals forward, backward;
        std::size_t f = 0, b = 0;
    };

    Frame frame_leaving(std::size_t i, std::uint32_t gid) const {
        const EdgeIndex& x = source_.index();
        Frame fr;
        if (readings_[i] != Reading::Backward) fr.forward = group(x.by_start, gid);
        if (readings_[i] != Reading::Forward) fr.backward = group(x.by_end, gid);
        return fr;
    }

    static TypeRef exact_type_of(const NodePatternValue& p) {
        return p.type_obj ? p.type_obj : p.type_schema ? p.type_schema->schema->exact_type() : TypeRef();
    }

    // The first position: from the index when a node pattern of the first
    // step names one type, else every edge.
    Frame first_frame() const {
        const EdgeIndex& x = source_.index();
        if (TypeRef t = exact_type_of(path_.nodes[0])) return frame_leaving(0, x.types.find(t->digest()));
        Frame fr;
        if (TypeRef t = exact_type_of(path_.nodes[1])) {
            const std::uint32_t gid = x.types.find(t->digest());
            if (readings_[0] != Reading::Backward) fr.forward = group(x.by_end, gid);
            if (readings_[0] != Reading::Forward) fr.backward = group(x.by_start, gid);
            return fr;
        }
        const auto all = static_cast<std::uint32_t>(source_.size());
        if (readings_[0] != Reading::Backward) fr.forward.all = all;
        if (readings_[0] != Reading::Forward) fr.backward.all = all;
        return fr;
    }

    // The next candidate of a frame in dict order, forward first; false
    // when there is none.
    bool next(std::size_t i, Frame& fr, Step& out) const {
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
            if (readings_[i] == Reading::Any && x.start_gid[out.ordinal] == x.end_gid[out.ordinal]) continue;
            return true;
        }
    }

    // Whether the step passes position `i`, testing it once.
    bool passes(std::size_t i, const Step& s, bool& result) {
        std::vector<std::uint8_t>& memo = tested_[i];
        if (memo.empty()) memo.assign(source_.size(), 0);
        const int shift = s.backward ? 2 : 0;
        const int state = (memo[s.ordinal] >> shift) & 3;
        if (state) {
            result = state == 2;
            return true;
        }
        // A signal handler (run by the walk's checks) may have changed the dict.
        if (!source_.unchanged()) return false;
        Ref object = Ref::borrow(source_.object(s.ordinal));
        if (!ready_edge(object.get())) return false;
        const EdgeValue& e = py::value_of<EdgeValue>(object.get());
        const NodeValue& leaving = s.backward ? e.end : e.start;
        const NodeValue& arriving = s.backward ? e.start : e.end;
        const NodePatternValue& from = path_.nodes[i];
        const NodePatternValue& to = path_.nodes[i + 1];
        const EdgePatternValue& via = path_.edges[i];
        result = edge_term_fits(via, e) && (i > 0 || node_type_fits(from, leaving.type)) &&
                 node_type_fits(to, arriving.type);
        if (result && !properties_match(via.properties, e.properties, result)) return false;
        if (result && i == 0 && !node_matches(from, leaving.type, leaving.properties, result)) return false;
        if (result && !node_matches(to, arriving.type, arriving.properties, result)) return false;
        if (!source_.unchanged()) return false;
        memo[s.ordinal] = static_cast<std::uint8_t>(memo[s.ordinal] | ((result ? 2 : 1) << shift));
        return true;
    }

    Bound end_of(const Step& s, bool leaving) const {
        PyObject* e = source_.object(s.ordinal);
        const bool start = leaving != s.backward;
        const EdgeValue& v = py::value_of<EdgeValue>(e);
        return Bound::edge_end(e, start, (start ? v.start : v.end).properties.get());
    }

    void add_row() {
        if (positions_.kept(0)) positions_.add(0, end_of(chosen_[0], true));
        for (std::size_t i = 0; i < chosen_.size(); ++i) {
            if (positions_.kept(2 * i + 1)) {
                PyObject* e = source_.object(chosen_[i].ordinal);
                positions_.add(2 * i + 1, Bound::edge(e, py::value_of<EdgeValue>(e).properties.get()));
            }
            if (positions_.kept(2 * i + 2)) positions_.add(2 * i + 2, end_of(chosen_[i], false));
        }
        positions_.row_done();
    }

    QueryValue& q_;
    const PathPatternValue& path_;
    const std::size_t hops_;
    Positions positions_;
    std::vector<Reading> readings_;
    EdgeSource source_;
    std::vector<std::vector<std::uint8_t>> tested_;  // per position: 2 bits per edge and direction
    // Per position: the group of the one type its arriving node may have.
    static constexpr std::uint32_t kAnyGid = TypeGroups::kNone - 1;
    std::vector<std::uint32_t> arrive_gid_;
    std::vector<Frame> frames_;
    std::vector<Step> chosen_;  // always frames_.size() - 1 long
};

}  // namespace

std::unique_ptr<MatchProducer> make_path_producer(QueryValue& q, const PathPatternValue& path, bool count_only) {
    auto matcher = std::make_unique<PathMatcher>(q, path, count_only);
    if (!matcher->open()) return nullptr;
    return matcher;
}

}  // namespace quorvel
