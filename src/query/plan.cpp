#include "query/plan.hpp"

#include <algorithm>

namespace quorvel::plan {

Reading reading_of(std::string_view direction) noexcept {
    if (direction == "backward") return Reading::Backward;
    if (direction == "any") return Reading::Any;
    return Reading::Forward;
}

namespace {

bool touches(const std::vector<std::string>& names, const std::vector<std::string>& vars) {
    for (const std::string& n : names)
        if (std::find(vars.begin(), vars.end(), n) != vars.end()) return true;
    return false;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > kAll - b ? kAll : a + b;
}

bool names(const std::vector<std::string>& list, const std::string& v) {
    return std::find(list.begin(), list.end(), v) != list.end();
}

// Whether a later operation drops or replaces `v` before any reads it. The
// run's result may read whatever is left at the end; an operation before the
// match may read it in the next run, if this one stops early on an error.
bool dropped_unread(const std::vector<const Effects*>& ops, std::size_t index, const std::string& v) {
    for (std::size_t j = 0; j < index; ++j)
        if (names(ops[j]->reads, v) || names(ops[j]->firsts, v) || names(ops[j]->appends, v)) return false;
    for (std::size_t j = index + 1; j < ops.size(); ++j) {
        const Effects& op = *ops[j];
        if (names(op.reads, v) || names(op.firsts, v) || names(op.appends, v)) return false;
        if (op.replaces) return true;
        if (op.kind == Effects::Kind::Keep && !names(op.keeps, v)) return true;
        if (op.kind == Effects::Kind::Match && names(op.binds, v)) return true;
    }
    return false;
}

}  // namespace

Demand demand(const std::vector<const Effects*>& ops, std::size_t index, Result result) {
    const std::vector<std::string>& vars = ops[index]->binds;
    Demand d;
    // Leading rows that matter, from the end of the queue backwards: a limit
    // keeps its count, a skip needs that many more, filters and sorts may
    // bring any row forward.
    std::uint64_t need = kAll;
    for (std::size_t j = ops.size(); j-- > index + 1;) {
        const Effects& op = *ops[j];
        switch (op.kind) {
            case Effects::Kind::Limit:
                need = std::min(need, op.count);
                break;
            case Effects::Kind::Skip:
                need = saturating_add(need, op.count);
                break;
            case Effects::Kind::Match:
            case Effects::Kind::Keep:
                break;
            case Effects::Kind::Filter:
            case Effects::Kind::Reorder:
                need = kAll;
                break;
            case Effects::Kind::Write:
                if (touches(op.reads, vars) || touches(op.appends, vars))
                    need = kAll;
                else if (touches(op.firsts, vars))
                    need = std::max<std::uint64_t>(need, 1);
                break;
        }
    }
    d.rows = need;
    for (const std::string& v : vars)
        if (dropped_unread(ops, index, v)) d.unread.push_back(v);
    if (result != Result::Count) return d;
    // Counting only: no other operation, before or after, may look at the
    // values (a later run starts from the bindings this one leaves, so an
    // earlier operation would see them then).
    for (std::size_t j = 0; j < ops.size(); ++j) {
        if (j == index) continue;
        const Effects& op = *ops[j];
        if (touches(op.reads, vars) || touches(op.firsts, vars) || touches(op.appends, vars)) return d;
    }
    d.count_only = true;
    return d;
}

Demand demand(const std::vector<Effects>& ops, std::size_t index, Result result) {
    std::vector<const Effects*> refs;
    refs.reserve(ops.size());
    for (const Effects& e : ops) refs.push_back(&e);
    return demand(refs, index, result);
}

}  // namespace quorvel::plan
