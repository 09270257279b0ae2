// Internals shared by the operators of a query run (py_match.cpp,
// py_write.cpp, py_run.cpp, py_rows.cpp, py_condition.cpp).
//
// Python code runs inside these operators (property values' __eq__ and
// __bool__, hashing of dict keys, finalizers of released objects), so every
// object used across such a call is held by an owned reference, dicts are
// walked with DictWalk or through an index that is checked to be current
// before every read, and bindings are copied before they are iterated. The
// query itself cannot change under a run: every Query method holds its
// exclusive borrow.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "binding/dict_walk.hpp"
#include "binding/ticker.hpp"
#include "query/plan.hpp"
#include "query/py_query.hpp"

namespace quorvel {

using py::Ticker;

// A value met in graph.nodes / graph.edges, taken as a bound value: it must
// be a Node (Edge) object -- the cast TypeError otherwise -- that is not
// being changed (the borrow error otherwise). An edge's two end nodes get
// their dicts too, so that binding them later shares what the edge holds.
bool take_node(PyObject* value, Bound& out);
bool take_edge(PyObject* value, Bound& out);
// The checks of take_edge alone.
bool ready_edge(PyObject* value);

// The candidates of a node pattern, in dict order (py_match.cpp).
bool node_candidates(const QueryValue& q, const NodePatternValue& p, Column& out);

// A walk of graph.edges in dict order that hands out one edge at a time.
//
// `pass_over(edge)` may rule out a well-formed edge that is not being
// changed, running no Python code; every other entry is checked (TypeError,
// borrow error) and handed out. Given a current `index` and `candidates` --
// ordinals, in dict order, of the edges `pass_over` might not rule out, less
// those `skip(ordinal)` rules out by the index's types alone -- it reads only
// those, and hands out the same edges in the same order. When user code run
// between two steps changes the dict, it goes on from the entry after the
// last one handed out, as a walk would.
class EdgeWalk {
public:
    using PassOver = std::function<bool(const EdgeValue&)>;
    using Skip = std::function<bool(std::uint32_t)>;

    EdgeWalk(PyObject* edges, std::shared_ptr<const EdgeIndex> index, OrdinalSpan candidates, Skip skip,
             PassOver pass_over);

    // The next edge into `edge` (held), or null at the end. False on error.
    bool next(py::Ref& edge);

private:
    bool from_walk(py::Ref& edge);

    PyObject* edges_;
    Py_ssize_t size_;
    std::shared_ptr<const EdgeIndex> index_;  // null once walking
    OrdinalSpan candidates_;
    std::size_t at_ = 0;
    Py_ssize_t resume_ = 0;
    std::optional<py::DictWalk> walk_;
    Skip skip_;
    PassOver pass_over_;
    Ticker tick_;
};

// A match that finds its rows on demand: the run asks for more while the
// operations after it want them (py_run.cpp), then binds.
class MatchProducer {
public:
    virtual ~MatchProducer() = default;
    // Finds rows until there are `rows` or no more. False on error.
    virtual bool produce(std::uint64_t rows) = 0;
    virtual bool exhausted() const = 0;
    virtual std::size_t rows() const = 0;
    // The rows found so far for a variable the match binds, or null.
    virtual const Column* column(const std::string& name) const = 0;
    // Binds what was found: each variable's list replaced (in the order the
    // pattern names them, so a later position with the same name wins).
    virtual void bind_to(QueryValue& q) = 0;
};

// The positions of a pattern (in binding order) and the variables they name.
// Only the last position naming a variable is kept: binding replaces, so the
// earlier ones would never be seen.
// Which variables of a match keep only their number of rows: all of them
// (a count nobody reads the values of), or those nothing reads before they
// are dropped (plan::Demand::unread).
struct Counted {
    bool all = false;
    std::vector<std::string> names;

    Counted() = default;
    explicit Counted(const plan::Demand& d) : all(d.count_only), names(d.unread) {}
    bool operator()(const std::string& name) const {
        return all || std::find(names.begin(), names.end(), name) != names.end();
    }
};

class Positions {
public:
    Positions(std::vector<const std::optional<std::string>*> names, const Counted& counted) {
        slots_.resize(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            Slot& s = slots_[i];
            s.name = names[i];
            if (!*s.name) continue;
            s.counted = counted(**s.name);
            bool later = false;
            for (std::size_t j = i + 1; j < names.size() && !later; ++j)
                later = *names[j] && **names[j] == **s.name;
            s.keep = !later && !s.counted;
        }
    }

    bool kept(std::size_t pos) const { return slots_[pos].keep; }
    bool any_kept() const {
        return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.keep; });
    }
    void add(std::size_t pos, Bound b) { slots_[pos].column.push_back(std::move(b)); }
    void row_done() { ++rows_; }
    std::size_t rows() const { return rows_; }

    const Column* column(const std::string& name) const {
        for (const Slot& s : slots_)
            if (s.keep && **s.name == name) return &s.column;
        return nullptr;
    }

    void bind_to(QueryValue& q) {
        for (Slot& s : slots_) {
            if (!*s.name) continue;
            if (s.counted)
                q.vars().bind_counted(**s.name, rows_);
            else if (s.keep)
                q.vars().bind(**s.name, std::move(s.column));
        }
    }

private:
    struct Slot {
        const std::optional<std::string>* name = nullptr;
        bool keep = false;     // this position's values are the variable's
        bool counted = false;  // the variable keeps only its number of rows
        Column column;
    };
    std::vector<Slot> slots_;
    std::size_t rows_ = 0;
};

// The exact type a node pattern asks for (its type, or a schema that names
// one type), or null.
TypeRef exact_type_of(const NodePatternValue& p);

// The producer of a match, or null with an exception set. With `count_only`
// it keeps only how many rows it found.
std::unique_ptr<MatchProducer> make_producer(QueryValue& q, const MatchOp& op, const Counted& counted);
std::unique_ptr<MatchProducer> make_path_producer(QueryValue& q, const PathPatternValue& path,
                                                  const Counted& counted);
// For a path whose only use is its distinct end nodes (see py_run.cpp): a
// search that finds them without listing paths, or null when the path is not
// of a shape it answers exactly (or on an error, with the exception set).
std::unique_ptr<MatchProducer> make_reach_producer(QueryValue& q, const PathPatternValue& path);

// Binds `values` to `variable` (replacing), if there is a variable.
void bind(QueryValue& q, const std::optional<std::string>& variable, Column values);

// The value of `variable` in `row`, or null for a hole / no such row / a
// counted column.
const Bound* row_value(const Table& t, const std::string& variable, std::size_t row);

// The first value bound to `name` that is not a hole, or null.
const Bound* first_value(const Table& t, const std::string& name);

// The operators. `demand` says how much of a match the rest of the queue
// can see.
bool execute_match(QueryValue& q, const MatchOp& op, const plan::Demand& demand);
bool execute_create(QueryValue& q, const CreateOp& op);
bool execute_merge(QueryValue& q, const MergeOp& op);
bool execute_set(QueryValue& q, const SetOp& op);
bool execute_delete(QueryValue& q, const DeleteOp& op);

// The order of values in sorts and in min/max: numbers, then strings, then
// everything else, each by Python's <; values that cannot be ordered (a
// TypeError) are equal; nulls (null pointers) last.
enum class Order { Less, Equal, Greater, Error };
Order compare_key(PyObject* a, PyObject* b);

// Row operations (py_rows.cpp): a run of consecutive order_by operations is
// one stable sort whose first operation is the primary key.
bool execute_order_by(QueryValue& q, const std::vector<const OrderByOp*>& keys);
bool execute_skip(QueryValue& q, std::uint64_t count);
void execute_limit(QueryValue& q, std::uint64_t count);
bool execute_with(QueryValue& q, const WithOp& op);

// Property `key` (an exact str) of a bound value: a new reference, or null
// with no exception when the value has no such property. Returns false with
// an exception set when the lookup itself raised.
bool bound_property(const Bound& b, PyObject* key, py::Ref& out);

// What a cell of a row holds, for telling rows apart: a graph element by
// kind and uid, or a Python value with its hash.
struct Cell {
    enum Kind : std::uint8_t { Absent, Node, Edge, EdgeList, Value } kind = Absent;
    bool hashable = true;
    Digest digest{};
    py::Ref value;
    Py_hash_t hash = 0;
};

// A value's cell: hashed when it can be (a TypeError from hash() means
// unhashable; any other error is returned as false).
bool value_cell(py::Ref v, Cell& cell);
// A bound value's cell.
bool element_cell(const Bound& b, Cell& cell);

// Rows of cells seen so far, in order of first appearance: hashed, then
// compared with Python == within a bucket, so that equal rows meet whatever
// their values (a row with an unhashable value is compared with all).
class KeySet {
public:
    // The index of the row equal to `cells`, added as a new one (`fresh`,
    // and `cells` is moved from) when there is none. False on an error
    // from ==.
    bool insert(std::vector<Cell>&& cells, std::size_t& index, bool& fresh);
    bool insert(std::vector<Cell>& cells, std::size_t& index, bool& fresh) {
        return insert(std::move(cells), index, fresh);
    }
    std::size_t size() const noexcept { return keys_.size(); }
    const std::vector<Cell>& key(std::size_t i) const { return keys_[i]; }

private:
    std::vector<std::vector<Cell>> keys_;
    // Rows of hashable values, by open addressing with linear probing: slot
    // = (row hash, row index + 1); a zero index marks an empty slot. At most
    // half full.
    std::vector<std::pair<std::size_t, std::size_t>> slots_;
    std::vector<std::size_t> loose_;  // rows holding an unhashable value
};

// Appends a result row to `rows` unless it is empty or, with `seen`, equal
// to one kept before (its key is `cells`). False on an error.
bool keep_row(PyObject* rows, PyObject* row, KeySet* seen, std::vector<Cell>&& cells);

// The error of a dict changed under a walk that cannot go on.
bool dict_changed(PyObject* dict, Py_ssize_t size_before);

}  // namespace quorvel
