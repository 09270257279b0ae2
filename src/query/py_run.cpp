// The run loop: the queue's operations carried out in order against the
// graph's dicts and the query's bindings.
//
// Before the run, each operation is summarised by what it does with
// variables (plan::Effects), so that a match can be told how much of it the
// rest of the queue and the result can see (plan::demand): the leading rows
// a later limit keeps, or only their number for a count nobody reads the
// values of.
#include <algorithm>

#include "binding/args.hpp"
#include "query/py_condition.hpp"
#include "query/py_engine.hpp"

namespace quorvel {

using py::Ref;

namespace {

using plan::Effects;

void add_name(std::vector<std::string>& to, const std::optional<std::string>& name) {
    if (name) to.push_back(*name);
}

Effects effects_of_match(const MatchOp& op) {
    Effects e;
    e.kind = Effects::Kind::Match;
    if (const auto* node = std::get_if<NodePatternValue>(&op)) {
        add_name(e.binds, node->variable);
    } else if (const auto* edge = std::get_if<MatchEdge>(&op)) {
        add_name(e.binds, edge->start);
        add_name(e.binds, edge->pattern.variable);
        add_name(e.binds, edge->end);
    } else {
        const auto& path = std::get<PathPatternValue>(op);
        for (const auto& n : path.nodes) add_name(e.binds, n.variable);
        for (const auto& x : path.edges) add_name(e.binds, x.variable);
    }
    return e;
}

}  // namespace

Effects effects_of(const QueryOperation& op) {
    Effects e;
    e.kind = Effects::Kind::Write;
    std::visit(
        [&](const auto& o) {
            using T = std::decay_t<decltype(o)>;
            if constexpr (std::is_same_v<T, MatchOperation>) {
                e = effects_of_match(o.op);
            } else if constexpr (std::is_same_v<T, WhereOp>) {
                e.kind = Effects::Kind::Filter;
                e.reads = o.compiled->variables;
            } else if constexpr (std::is_same_v<T, CreateOperation>) {
                if (const auto* node = std::get_if<NodePatternValue>(&o.op)) {
                    add_name(e.binds, node->variable);
                } else if (const auto* edge = std::get_if<CreateEdge>(&o.op)) {
                    e.firsts = {edge->start, edge->end};
                    add_name(e.binds, edge->pattern.variable);
                } else {
                    const auto& path = std::get<PathPatternValue>(o.op);
                    for (const auto& n : path.nodes) add_name(e.firsts, n.variable);
                    for (const auto& n : path.nodes) add_name(e.binds, n.variable);
                    for (const auto& x : path.edges) add_name(e.binds, x.variable);
                }
            } else if constexpr (std::is_same_v<T, MergeOperation>) {
                if (const auto* node = std::get_if<NodePatternValue>(&o.op)) {
                    add_name(e.appends, node->variable);
                } else {
                    const auto& edge = std::get<MergeEdge>(o.op);
                    e.firsts = {edge.start, edge.end};
                    add_name(e.appends, edge.pattern.variable);
                }
            } else if constexpr (std::is_same_v<T, SetOp>) {
                e.reads = {o.variable};
            } else if constexpr (std::is_same_v<T, DeleteOp>) {
                e.reads = o.variables;
            } else if constexpr (std::is_same_v<T, WithOp>) {
                if (o.columns.legacy) {
                    e.kind = Effects::Kind::Keep;
                    e.keeps = o.variables;
                } else {
                    // Expressions read values; aggregates make new rows.
                    e.kind = Effects::Kind::Filter;
                    e.replaces = true;
                    e.reads = o.variables;
                    for (const auto& c : o.columns.columns) {
                        // A plain "v.key" among expressions reads v.
                        if (auto dot = c->text.find('.'); c->legacy && dot != std::string::npos)
                            e.reads.push_back(c->text.substr(0, dot));
                        std::vector<const cond::Operand*> stack{&c->operand};
                        while (!stack.empty()) {
                            const cond::Operand* x = stack.back();
                            stack.pop_back();
                            if (!x->variable.empty()) e.reads.push_back(x->variable);
                            for (const cond::Operand& a : x->args) stack.push_back(&a);
                        }
                    }
                }
            } else if constexpr (std::is_same_v<T, OrderByOp>) {
                e.kind = Effects::Kind::Reorder;
                e.reads = {o.variable};
            } else if constexpr (std::is_same_v<T, LimitOp>) {
                e.kind = Effects::Kind::Limit;
                e.count = o.count;
            } else if constexpr (std::is_same_v<T, SkipOp>) {
                e.kind = Effects::Kind::Skip;
                e.count = o.count;
            }
        },
        op);
    return e;
}

namespace {

// Calls `f` on the required properties of every pattern of a payload.
template <class Payload, class F>
bool each_properties(Payload& payload, F&& f) {
    return std::visit(
        [&](auto& p) {
            using T = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<T, NodePatternValue>) {
                return f(p.properties);
            } else if constexpr (std::is_same_v<T, PathPatternValue>) {
                for (auto& n : p.nodes)
                    if (!f(n.properties)) return false;
                for (auto& e : p.edges)
                    if (!f(e.properties)) return false;
                return true;
            } else {
                return f(p.pattern.properties);
            }
        },
        payload);
}

// The payload with its $name placeholders filled from the query's
// parameters: the original when it has none, else `scratch`, a copy. Null
// with NameError when a placeholder has no value.
template <class Payload>
const Payload* with_parameters(const QueryValue& q, const Payload& payload, Payload& scratch,
                               const char* context) {
    bool any = false;
    each_properties(const_cast<Payload&>(payload),
                    [&](PatternProperties& p) { return !(any = any || p.has_parameters()); });
    if (!any) return &payload;
    scratch = payload;
    if (!each_properties(scratch,
                         [&](PatternProperties& p) { return p.resolve(q.parameters.get(), context); }))
        return nullptr;
    return &scratch;
}

bool execute_one(QueryValue& q, const QueryOperation& op) {
    return std::visit(
        [&](const auto& o) -> bool {
            using T = std::decay_t<decltype(o)>;
            if constexpr (std::is_same_v<T, CreateOperation>) {
                CreateOp scratch;
                const CreateOp* resolved = with_parameters(q, o.op, scratch, "create");
                return resolved && execute_create(q, *resolved);
            } else if constexpr (std::is_same_v<T, MergeOperation>) {
                MergeOp scratch;
                const MergeOp* resolved = with_parameters(q, o.op, scratch, "merge");
                return resolved && execute_merge(q, *resolved);
            } else if constexpr (std::is_same_v<T, SetOp>) {
                return execute_set(q, o);
            } else if constexpr (std::is_same_v<T, DeleteOp>) {
                return execute_delete(q, o);
            } else if constexpr (std::is_same_v<T, WhereOp>) {
                return filter_rows(q, *o.compiled);
            } else if constexpr (std::is_same_v<T, WithOp>) {
                return execute_with(q, o);
            } else if constexpr (std::is_same_v<T, LimitOp>) {
                execute_limit(q, o.count);
                return true;
            } else if constexpr (std::is_same_v<T, SkipOp>) {
                return execute_skip(q, o.count);
            } else {
                return true;  // matches and sorts are run by the loop itself
            }
        },
        op);
}

// The operations right after a match that can be run while it is still
// finding rows: where and skip, up to the first limit. The index of that
// limit, or 0 when there is no such run with a where in it.
std::size_t stream_end(const std::vector<const QueryOperation*>& ops, std::size_t match) {
    bool filters = false;
    for (std::size_t j = match + 1; j < ops.size(); ++j) {
        if (std::holds_alternative<WhereOp>(*ops[j])) {
            filters = true;
        } else if (std::holds_alternative<LimitOp>(*ops[j])) {
            return filters ? j : 0;
        } else if (!std::holds_alternative<SkipOp>(*ops[j])) {
            return 0;
        }
    }
    return 0;
}

// A match followed by where and skip operations and a limit, run a row at a
// time: the match finds rows only until the limit has enough. That is
// indistinguishable from running each operation in turn as long as the
// conditions run no Python code (see Evaluator's plain-only mode), name only
// bound variables and given parameters. The first row that would run Python
// code ends the streaming: the match then finds all its rows and the
// operations run as usual, which gives what they would have given from the
// start, since nothing before could be seen. Returns false on an error; sets
// `next` to the operation to go on with.
bool run_streaming(QueryValue& q, const std::vector<const QueryOperation*>& ops,
                   const std::vector<const Effects*>& effects, std::size_t match, std::size_t limit,
                   const MatchOp& op, const plan::Demand& demand, std::size_t& next) {
    const std::vector<std::string>& vars = effects[match]->binds;
    for (std::size_t j = match + 1; j < limit; ++j) {
        const auto* w = std::get_if<WhereOp>(ops[j]);
        if (!w) continue;
        bool ok = true;
        for (const std::string& v : w->compiled->variables)
            ok = ok && (q.vars().has(v) || std::find(vars.begin(), vars.end(), v) != vars.end());
        for (const std::string& p : w->compiled->parameters) {
            ok = ok && q.parameters;
            if (!ok) break;
            Ref key = py::str(p);
            if (!key) return false;
            ok = PyDict_GetItemWithError(q.parameters.get(), key.get()) != nullptr;
            if (PyErr_Occurred()) return false;
        }
        if (!ok) {
            next = match + 1;
            return execute_match(q, op, demand);
        }
    }
    auto producer = make_producer(q, op, Counted());
    if (!producer) return false;
    // Rows of the bindings that the match does not replace.
    const std::size_t others = q.vars().rows_except(vars);
    RowSource rows(q.vars(), producer.get(), vars);
    Evaluator eval(rows, q.parameters.get(), true);
    std::vector<std::uint64_t> skips(limit - match, 0);
    for (std::size_t j = match + 1; j < limit; ++j)
        if (const auto* s = std::get_if<SkipOp>(ops[j])) skips[j - match] = s->count;
    const std::uint64_t wanted = std::get<LimitOp>(*ops[limit]).count;
    std::vector<std::size_t> kept;
    Ticker tick;
    bool blocked = false;
    for (std::size_t r = 0; kept.size() < wanted && !blocked; ++r) {
        if (!tick.ok()) return false;
        if (producer->rows() <= r && !producer->exhausted() && !producer->produce(r + 1)) return false;
        if (r >= std::max(others, producer->rows())) break;
        bool survives = true;
        for (std::size_t j = match + 1; j < limit && survives; ++j) {
            if (const auto* w = std::get_if<WhereOp>(ops[j])) {
                const Tri t = eval.test(w->compiled->expr, *w->compiled, r);
                if (t == Tri::Error) return false;
                blocked = t == Tri::Blocked;
                survives = t == Tri::True;
            } else if (skips[j - match] > 0) {
                --skips[j - match];
                survives = false;
            }
        }
        if (survives) kept.push_back(r);
    }
    if (blocked) {
        if (!producer->produce(demand.rows)) return false;
        producer->bind_to(q);
        next = match + 1;
        return true;
    }
    producer->bind_to(q);
    if (!q.vars().keep_rows(kept)) return false;
    next = limit + 1;
    return true;
}

// Whether the result reads nothing of a match but the distinct values of
// its variable `end`: rows distinct over columns of `end` alone, or
// aggregates of DISTINCT values of it.
bool reads_distinct_ends(const ParsedColumns* cols, bool distinct, const std::string& end) {
    if (!cols || cols->columns.empty() || (distinct == cols->aggregates)) return false;
    for (const auto& c : cols->columns) {
        if (c->legacy) {
            if (!distinct ||
                !(c->text == end || (c->text.size() > end.size() &&
                                     c->text.compare(0, end.size(), end) == 0 && c->text[end.size()] == '.')))
                return false;
            continue;
        }
        if (c->star || (cols->aggregates && (c->aggregate == cond::Aggregate::None || !c->distinct)))
            return false;
        std::vector<const cond::Operand*> stack{&c->operand};
        while (!stack.empty()) {
            const cond::Operand* o = stack.back();
            stack.pop_back();
            if ((o->kind == cond::Operand::Kind::Variable || o->kind == cond::Operand::Kind::Property) &&
                o->variable != end)
                return false;
            for (const cond::Operand& a : o->args) stack.push_back(&a);
        }
    }
    return true;
}

// The last operation is a path match whose only use is its distinct end
// nodes: no other operation names its variables, the result reads only them.
bool only_ends_matter(const std::vector<const Effects*>& effects, std::size_t match, const PathPatternValue& path,
                      const ParsedColumns* cols, bool distinct) {
    if (match + 1 != effects.size() || path.nodes.size() != 2 || !path.nodes[1].variable) return false;
    const std::vector<std::string>& vars = effects[match]->binds;
    auto mentions = [&](const std::vector<std::string>& names) {
        for (const std::string& n : names)
            if (std::find(vars.begin(), vars.end(), n) != vars.end()) return true;
        return false;
    };
    for (std::size_t j = 0; j < match; ++j) {
        const Effects& op = *effects[j];
        if (mentions(op.reads) || mentions(op.firsts) || mentions(op.appends)) return false;
    }
    return reads_distinct_ends(cols, distinct, *path.nodes[1].variable);
}

}  // namespace

bool execute_operations(QueryValue& q, ResultKind result, std::size_t* rows, const ParsedColumns* columns,
                        bool distinct) {
    // The queue cannot change during the run (the query is exclusively
    // borrowed), so it is walked in place.
    SharedVars::Pin pin(q.bindings);
    const std::vector<const QueryOperation*> ops = q.operations.in_order();
    // What each operation does with variables, summed up only when a match
    // is not last or the result is a count (otherwise nothing can cut it).
    std::vector<const Effects*> effects;
    auto summary = [&]() -> const std::vector<const Effects*>& {
        if (effects.empty()) effects = q.operations.effects_in_order();
        return effects;
    };
    const plan::Result wanted = result == ResultKind::Count ? plan::Result::Count : plan::Result::Rows;

    bool ok = true;
    for (std::size_t i = 0; i < ops.size() && ok; ++i) {
        if (const auto* m = std::get_if<MatchOperation>(ops[i])) {
            MatchOp scratch;
            const MatchOp* resolved = with_parameters(q, m->op, scratch, "match");
            const bool last = i + 1 == ops.size();
            const plan::Demand demand = last && wanted == plan::Result::Rows ? plan::Demand()
                                                                             : plan::demand(summary(), i, wanted);
            const auto* path = resolved ? std::get_if<PathPatternValue>(resolved) : nullptr;
            std::unique_ptr<MatchProducer> reach;
            if (path && last && columns && path->edges.size() == 1 && path->edges[0].hops &&
                only_ends_matter(summary(), i, *path, columns, distinct)) {
                reach = make_reach_producer(q, *path);
                if (!reach && PyErr_Occurred()) return false;
            }
            if (!resolved) {
                ok = false;
            } else if (reach) {
                ok = reach->produce(plan::kAll);
                if (ok) reach->bind_to(q);
            } else if (std::size_t limit = stream_end(ops, i)) {
                std::size_t next = i + 1;
                ok = run_streaming(q, ops, summary(), i, limit, *resolved, demand, next);
                i = next - 1;
            } else {
                ok = execute_match(q, *resolved, demand);
            }
        } else if (std::holds_alternative<OrderByOp>(*ops[i])) {
            // Consecutive order_by operations make one sort, the first being
            // the primary key.
            std::vector<const OrderByOp*> keys;
            while (i < ops.size() && std::holds_alternative<OrderByOp>(*ops[i]))
                keys.push_back(&std::get<OrderByOp>(*ops[i++]));
            --i;
            ok = execute_order_by(q, keys);
        } else {
            ok = execute_one(q, *ops[i]);
        }
    }
    if (ok && rows) *rows = q.vars().rows();
    // Counted columns stay, as rows without values: the next run starts from
    // these bindings, and its operations before the match that counted them
    // see the same number of rows as if the values were there (none of them
    // reads the values; the match binds them again).
    return ok;
}

}  // namespace quorvel
