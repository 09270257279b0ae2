// The query record: a queue of operations recorded by the builder methods,
// the graph's two dicts, and the variable bindings a run leaves behind.
//
// Builders only append; a run (execute_operations) walks the queue from the
// start every time. Each operation kind is carried out by one function in
// py_execute.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "binding/ref.hpp"
#include "graph/py_graph.hpp"
#include "patterns/py_patterns.hpp"
#include "query/bound.hpp"
#include "query/plan.hpp"
#include "query/py_columns.hpp"
#include "query/py_condition.hpp"

namespace quorvel {

struct MatchEdge {
    EdgePatternValue pattern;
    std::optional<std::string> start;
    std::optional<std::string> end;
};
struct CreateEdge {
    EdgePatternValue pattern;
    std::string start;
    std::string end;
};
using MergeEdge = CreateEdge;

// The payloads of each kind, one alternative per variant.
using MatchOp = std::variant<NodePatternValue, MatchEdge, PathPatternValue>;
using CreateOp = std::variant<NodePatternValue, CreateEdge, PathPatternValue>;
using MergeOp = std::variant<NodePatternValue, MergeEdge>;

struct WhereOp {
    std::string condition;                              // the caller's text
    std::shared_ptr<const CompiledCondition> compiled;  // parsed once
};
struct SetOp {
    std::string variable;
    py::Ref properties;  // the caller's dict itself, shared by every copy

    SetOp(std::string v, py::Ref d) : variable(std::move(v)), properties(std::move(d)) {}
    SetOp(const SetOp& o) : variable(o.variable), properties(o.properties.clone()) {}
    SetOp(SetOp&&) noexcept = default;
    SetOp& operator=(const SetOp& o) {
        SetOp tmp(o);
        *this = std::move(tmp);
        return *this;
    }
    SetOp& operator=(SetOp&&) noexcept = default;
};
struct DeleteOp {
    std::vector<std::string> variables;
    bool detach = false;
};
struct WithOp {
    std::vector<std::string> variables;  // the caller's texts
    ParsedColumns columns;               // read once
};
struct OrderByOp {
    std::string variable;
    std::optional<std::string> key;  // none: the variable's own values
    bool ascending = true;
};
struct LimitOp {
    std::uint64_t count = 0;
};
struct SkipOp {
    std::uint64_t count = 0;
};

struct MatchOperation {
    MatchOp op;
};
struct CreateOperation {
    CreateOp op;
};
struct MergeOperation {
    MergeOp op;
};

// In declaration order: Match, Where, Create, Set, Delete, Merge, With,
// OrderBy, Limit, Skip.
using QueryOperation = std::variant<MatchOperation, WhereOp, CreateOperation, SetOp, DeleteOp, MergeOperation,
                                    WithOp, OrderByOp, LimitOp, SkipOp>;

// What a queued operation does with variables (py_run.cpp).
plan::Effects effects_of(const QueryOperation& op);

// Sharing between a query and the copies its builders return.
//
// Every builder appends to the receiver and returns an independent copy, so
// a chain of builders would copy the whole queue and every binding at each
// step. Instead the queue is a persistent list of immutable cells, and the
// bindings are one object shared copy-on-write: a copy costs two reference
// counts, and a query clones the bindings only when it is about to change
// them while another query still shares them. Both live in small internal
// Python objects, so each query sharing a cell or the bindings holds a real
// reference to it and the garbage collector sees every reference once.

// The queue: the newest cell, chained to the ones before it.
class OpList {
public:
    OpList() = default;
    OpList(const OpList& o) : tail_(o.tail_.clone()), size_(o.size_) {}
    OpList(OpList&&) noexcept = default;
    OpList& operator=(OpList&&) noexcept = default;

    // Appends; throws std::bad_alloc when no cell can be made.
    void push(QueryOperation op);
    std::size_t size() const noexcept { return size_; }
    // The operations, first to last. They stay valid while this list lives.
    std::vector<const QueryOperation*> in_order() const;
    // What each does with variables, first to last, summed up once per
    // queued operation (effects_of); throws std::bad_alloc.
    std::vector<const plan::Effects*> effects_in_order() const;

    int traverse(visitproc visit, void* arg) const {
        QV_VISIT(tail_);
        return 0;
    }
    void clear() {
        size_ = 0;
        tail_.reset();
    }

private:
    py::Ref tail_;
    std::size_t size_ = 0;
};

// The variable bindings, copy-on-write.
class SharedVars {
public:
    SharedVars() = default;
    SharedVars(const SharedVars& o) : obj_(o.obj_.clone()) {}  // never pinned
    SharedVars(SharedVars&&) noexcept = default;
    SharedVars& operator=(SharedVars&&) noexcept = default;

    const Table& view() const noexcept;
    // The table, made this query's own first; throws std::bad_alloc.
    Table& edit();

    int traverse(visitproc visit, void* arg) const {
        QV_VISIT(obj_);
        return 0;
    }
    void clear() { obj_.reset(); }

    // For the length of a run the map is made private once and then kept:
    // references into it must stay valid even if user code (a finalizer
    // calling gc.get_referents, say) takes a reference to the shared object.
    class Pin {
    public:
        explicit Pin(SharedVars& s) : s_(s) { s_.pinned_ = &s_.edit(); }
        ~Pin() { s_.pinned_ = nullptr; }
        Pin(const Pin&) = delete;
        Pin& operator=(const Pin&) = delete;

    private:
        SharedVars& s_;
    };

private:
    py::Ref obj_;  // null: no bindings yet
    Table* pinned_ = nullptr;
};

struct QueryValue {
    OpList operations;
    GraphValue graph;
    SharedVars bindings;
    // The values of $name placeholders: a dict of str keys, replaced (never
    // changed in place) by each parameters() call, so copies share it.
    py::Ref parameters;

    QueryValue() = default;
    explicit QueryValue(GraphValue g) : graph(std::move(g)) {}
    QueryValue(const QueryValue& o)
        : operations(o.operations), graph(o.graph), bindings(o.bindings), parameters(o.parameters.clone()) {}
    QueryValue(QueryValue&&) noexcept = default;
    QueryValue& operator=(QueryValue&&) noexcept = default;

    // The bindings: read-only, or to change (copy-on-write).
    const Table& vars() const noexcept { return bindings.view(); }
    Table& vars() { return bindings.edit(); }

    int traverse(visitproc visit, void* arg) const;
    void clear();
};

PyTypeObject* query_type();

// A new Query object over the graph's dicts (Graph.query()).
py::Ref new_query(const GraphValue& graph);

// How a run's result is asked for: rows, a count, or a copy of the query.
enum class ResultKind { Rows, Count, Copy };

// Runs the whole queue against the graph, then sets `*rows` (when given) to
// the number of rows. Returns false with a Python exception set at the first
// failing operation; nothing is undone.
// `columns` and `distinct`: what the result reads, when it forms rows.
bool execute_operations(QueryValue& q, ResultKind result = ResultKind::Rows, std::size_t* rows = nullptr,
                        const ParsedColumns* columns = nullptr, bool distinct = false);

// Rows formed by position across `variables` (after a run). A name that is
// not bound but has the form "v.key" projects property `key` of `v`. With
// `distinct`, a row equal to an earlier one (same keys; the same graph
// element or an equal projected value under each) is dropped.
py::Ref form_rows(const QueryValue& q, const std::vector<std::string>& variables, bool distinct);

}  // namespace quorvel
