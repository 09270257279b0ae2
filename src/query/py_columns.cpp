// Result columns beyond plain names: expressions (`lower(n.name) AS name`,
// `term(e)`), and aggregates that group the rows (`count(*)`,
// `count(DISTINCT b)`, `collect(e.w)`, `sum`, `min`, `max`, `avg`).
//
// The rows read are those of the variables the columns name (all rows for
// a lone count(*)). Without aggregates each row gives one result; with them,
// the non-aggregate columns are the group's key and each group, in order of
// first appearance, gives one result. Null values are left out of a row, as
// a plain name without a value is; every aggregate but count(*) passes over
// them.
#include "query/py_columns.hpp"

#include <new>

#include "binding/args.hpp"
#include "errors/py_errors.hpp"
#include "query/py_condition.hpp"
#include "query/py_engine.hpp"
#include "text/text_cache.hpp"

namespace quorvel {

using cond::Aggregate;
using py::Ref;

bool parse_columns(const std::vector<std::string>& texts, const char* context, ParsedColumns& out) {
    static text::TextCache<cond::Column> cache(512);
    out.columns.clear();
    out.legacy = true;
    out.aggregates = false;
    for (const std::string& text : texts) {
        auto column = cache.find(text);
        if (!column) {
            auto parsed = cond::parse_column(text);
            if (auto* error = std::get_if<cond::ParseError>(&parsed)) {
                raise(QuorvelError::invalid_query(error->message, context));
                return false;
            }
            column = std::make_shared<const cond::Column>(std::move(std::get<cond::Column>(parsed)));
            cache.put(text, column);
        }
        out.legacy = out.legacy && column->legacy;
        out.aggregates = out.aggregates || column->aggregate != Aggregate::None;
        out.columns.push_back(std::move(column));
    }
    return true;
}

ParsedColumns bound_names_read(const ParsedColumns& cols, const Table& t) {
    ParsedColumns out;
    out.legacy = true;
    for (const auto& c : cols.columns) {
        if (!c->legacy && !c->alias && t.has(c->text)) {
            // A column an earlier with_ bound under this very text: read it.
            auto plain = std::make_shared<cond::Column>();
            plain->legacy = true;
            plain->text = c->text;
            out.columns.push_back(std::move(plain));
            continue;
        }
        out.legacy = out.legacy && c->legacy;
        out.aggregates = out.aggregates || c->aggregate != Aggregate::None;
        out.columns.push_back(c);
    }
    return out;
}

namespace {

const std::string& key_of(const cond::Column& c) {
    return c.alias ? *c.alias : c.text;
}

// The variables the columns read.
std::vector<std::string> variables_of(const ParsedColumns& cols, const Table& t) {
    std::vector<std::string> names;
    auto add = [&](const std::string& n) {
        if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    };
    for (const auto& c : cols.columns) {
        if (c->legacy) {
            if (t.has(c->text))
                add(c->text);
            else if (auto dot = c->text.find('.'); dot != std::string::npos)
                add(c->text.substr(0, dot));
            continue;
        }
        std::vector<const cond::Operand*> stack{&c->operand};
        while (!stack.empty()) {
            const cond::Operand* o = stack.back();
            stack.pop_back();
            if (o->kind == cond::Operand::Kind::Variable || o->kind == cond::Operand::Kind::Property)
                add(o->variable);
            for (const cond::Operand& a : o->args) stack.push_back(&a);
        }
    }
    return names;
}

// The values of every column in every row read.
class ColumnReader {
public:
    ColumnReader(const QueryValue& q, const ParsedColumns& cols)
        : t_(q.vars()), cols_(cols), source_(q.vars()), eval_(source_, q.parameters.get()) {
        bool star = false;
        for (const auto& c : cols.columns) star = star || c->star;
        const std::vector<std::string> names = variables_of(cols, t_);
        for (const std::string& n : names)
            if (const Column* c = t_.find(n)) rows_ = std::max(rows_, c->size());
        if (star && names.empty()) rows_ = t_.rows();
        for (const auto& c : cols.columns) {
            // What each column reads, found once: a variable's column, or a
            // variable's column and a property key.
            Source src;
            if (c->legacy) {
                if (t_.has(c->text)) {
                    src.how = Source::Bound;
                    src.column = t_.find(c->text);
                } else if (auto dot = c->text.find('.'); dot != std::string::npos) {
                    src.how = Source::Projection;
                    src.column = t_.find(c->text.substr(0, dot));
                    src.property = py::str(std::string_view(c->text).substr(dot + 1));
                    if (!src.property) {
                        failed_ = true;
                        return;
                    }
                } else {
                    src.how = Source::Nothing;
                }
            } else if (c->operand.kind == cond::Operand::Kind::Variable) {
                src.how = Source::Variable;
                src.column = t_.find(c->operand.variable);
            }
            sources_.push_back(std::move(src));
        }
    }

    std::size_t rows() const { return rows_; }
    // False, with an exception set, when a property key could not be made.
    bool ok() const { return !failed_; }

    // Column `i`'s value in `row`: null, an object or an element.
    bool value(std::size_t i, std::size_t row, Value& out) {
        const cond::Column& c = *cols_.columns[i];
        out = Value();
        if (c.star) return true;
        const Source& src = sources_[i];
        switch (src.how) {
            case Source::Evaluate:
                return eval_.operand(c.operand, row, out);
            case Source::Nothing:
                return true;
            case Source::Bound:
                return bound(at(src.column, row), out);
            case Source::Variable: {
                // As the evaluator reads a name: a bound None is null.
                const quorvel::Bound* b = at(src.column, row);
                if (b && b->is_value() && b->object() == Py_None) return true;
                return bound(b, out);
            }
            case Source::Projection: {
                const quorvel::Bound* b = at(src.column, row);
                if (!b) return true;
                Ref v;
                if (!bound_property(*b, src.property.get(), v)) return false;
                if (v) {
                    out.kind = Value::Object;
                    out.object = std::move(v);
                }
                return true;
            }
        }
        return true;
    }

private:
    bool bound(const Bound* b, Value& out) {
        if (!b) return true;
        if (b->is_value()) {
            out.object = b->to_python();
            if (!out.object) return false;
            out.kind = Value::Object;
            if (b->kind() == Bound::Kind::EdgeList) out.element = b;  // told apart by its edges
            return true;
        }
        out.kind = Value::Element;
        out.element = b;
        return true;
    }

    struct Source {
        enum How { Evaluate, Nothing, Bound, Variable, Projection } how = Evaluate;
        const Column* column = nullptr;  // null: no values
        Ref property;                    // Projection: the key
    };

    static const quorvel::Bound* at(const Column* c, std::size_t row) {
        if (!c || row >= c->size() || (*c)[row].hole()) return nullptr;
        return &(*c)[row];
    }

    const Table& t_;
    const ParsedColumns& cols_;
    RowSource source_;
    Evaluator eval_;
    std::vector<Source> sources_;  // per column
    std::size_t rows_ = 0;
    bool failed_ = false;
};

bool to_cell(Value& v, Cell& cell) {
    if (v.kind == Value::Null) return true;
    if (v.element) return element_cell(*v.element, cell);
    return value_cell(v.object.clone(), cell);
}

// The object a value shows in a row (a new Node or Edge for an element).
Ref shown(const Value& v) {
    if (v.kind == Value::Element) return v.element->to_python();
    return v.object.clone();
}

// One aggregate of one group.
struct Accumulator {
    std::size_t count = 0;
    Ref total;    // sum, avg
    Ref best;     // min, max
    Ref list;     // collect
    KeySet seen;  // DISTINCT

    // Adds one row's value (null: passed over, except by count(*)).
    bool add(const cond::Column& c, Value& v) {
        if (c.star) {
            ++count;
            return true;
        }
        if (v.kind == Value::Null) return true;
        if (c.distinct) {
            std::vector<Cell> cells(1);
            if (!to_cell(v, cells[0])) return false;
            std::size_t at = 0;
            bool fresh = false;
            if (!seen.insert(std::move(cells), at, fresh)) return false;
            if (!fresh) return true;
        }
        ++count;
        switch (c.aggregate) {
            case Aggregate::Collect: {
                if (!list && !(list = Ref::steal(PyList_New(0)))) return false;
                Ref obj = shown(v);
                return obj && PyList_Append(list.get(), obj.get()) == 0;
            }
            case Aggregate::Sum:
            case Aggregate::Avg: {
                Ref obj = shown(v);
                if (!obj) return false;
                total = total ? Ref::steal(PyNumber_Add(total.get(), obj.get())) : std::move(obj);
                return bool(total);
            }
            case Aggregate::Min:
            case Aggregate::Max: {
                Ref obj = shown(v);
                if (!obj) return false;
                if (!best) {
                    best = std::move(obj);
                    return true;
                }
                const Order o = compare_key(obj.get(), best.get());
                if (o == Order::Error) return false;
                if (o == (c.aggregate == Aggregate::Min ? Order::Less : Order::Greater))
                    best = std::move(obj);
                return true;
            }
            default:
                return true;
        }
    }

    // The aggregate's value (null for none), or false on an error.
    bool result(const cond::Column& c, Ref& out) {
        switch (c.aggregate) {
            case Aggregate::Count:
                out = Ref::steal(PyLong_FromSize_t(count));
                return bool(out);
            case Aggregate::Collect:
                out = list ? list.clone() : Ref::steal(PyList_New(0));
                return bool(out);
            case Aggregate::Sum:
                out = total ? total.clone() : Ref::steal(PyLong_FromLong(0));
                return bool(out);
            case Aggregate::Avg: {
                if (!count) return true;
                Ref n = Ref::steal(PyLong_FromSize_t(count));
                out = n ? Ref::steal(PyNumber_TrueDivide(total.get(), n.get())) : Ref();
                return bool(out);
            }
            case Aggregate::Min:
            case Aggregate::Max:
                out = best.clone();
                return true;
            case Aggregate::None:
                break;
        }
        return true;
    }
};

// The result of the columns as rows of values, one per row read or per
// group: `out[r][i]` is column i of result r (an element, an object or null).
struct Results {
    std::vector<std::vector<Value>> rows;
};

bool compute(const QueryValue& q, const ParsedColumns& cols, Results& out) {
    ColumnReader reader(q, cols);
    if (!reader.ok()) return false;
    const std::size_t n = cols.columns.size();
    Ticker tick;
    if (!cols.aggregates) {
        for (std::size_t r = 0; r < reader.rows(); ++r) {
            if (!tick.ok()) return false;
            std::vector<Value> values(n);
            for (std::size_t i = 0; i < n; ++i)
                if (!reader.value(i, r, values[i])) return false;
            out.rows.push_back(std::move(values));
        }
        return true;
    }
    KeySet groups;
    std::vector<std::vector<Value>> keys;        // per group: its key columns' values
    std::vector<std::vector<Accumulator>> accs;  // per group: one per column
    std::vector<Value> values(n);                // one row's, reused
    std::vector<Cell> cells;                     // its key, kept only by a new group
    for (std::size_t r = 0; r < reader.rows(); ++r) {
        if (!tick.ok()) return false;
        cells.clear();
        for (std::size_t i = 0; i < n; ++i) {
            if (!reader.value(i, r, values[i])) return false;
            if (cols.columns[i]->aggregate != Aggregate::None) continue;
            if (!to_cell(values[i], cells.emplace_back())) return false;
        }
        std::size_t g = 0;
        bool fresh = false;
        if (!groups.insert(cells, g, fresh)) return false;
        if (fresh) {
            std::vector<Value>& key = keys.emplace_back(n);
            for (std::size_t i = 0; i < n; ++i) {
                key[i].kind = values[i].kind;
                key[i].object = values[i].object.clone();
                key[i].element = values[i].element;
            }
            accs.emplace_back(n);
        }
        for (std::size_t i = 0; i < n; ++i)
            if (cols.columns[i]->aggregate != Aggregate::None && !accs[g][i].add(*cols.columns[i], values[i]))
                return false;
    }
    bool grouped = false;
    for (const auto& c : cols.columns) grouped = grouped || c->aggregate == Aggregate::None;
    if (keys.empty() && !grouped) {
        // Nothing read and nothing to group by: one result, of empty aggregates.
        keys.emplace_back(n);
        accs.emplace_back(n);
    }
    for (std::size_t g = 0; g < keys.size(); ++g) {
        std::vector<Value> values = std::move(keys[g]);
        for (std::size_t i = 0; i < n; ++i) {
            if (cols.columns[i]->aggregate == Aggregate::None) continue;
            Ref v;
            if (!accs[g][i].result(*cols.columns[i], v)) return false;
            values[i] = Value();
            if (v && v.get() != Py_None) {
                values[i].kind = Value::Object;
                values[i].object = std::move(v);
            }
        }
        out.rows.push_back(std::move(values));
    }
    return true;
}

}  // namespace

Ref column_rows(const QueryValue& q, const ParsedColumns& parsed, bool distinct) {
    const ParsedColumns cols = bound_names_read(parsed, q.vars());
    Results results;
    try {
        if (!compute(q, cols, results)) return Ref();
        Ref rows = Ref::steal(PyList_New(0));
        if (!rows) return rows;
        std::vector<Ref> keys;
        for (const auto& c : cols.columns)
            if (!keys.emplace_back(py::str(key_of(*c)))) return Ref();
        KeySet seen;
        Ticker tick;
        for (auto& values : results.rows) {
            if (!tick.ok()) return Ref();
            Ref row = Ref::steal(PyDict_New());
            if (!row) return Ref();
            std::vector<Cell> cells(distinct ? values.size() : 0);
            for (std::size_t i = 0; i < values.size(); ++i) {
                if (values[i].kind == Value::Null) continue;
                Ref obj = shown(values[i]);
                if (!obj || PyDict_SetItem(row.get(), keys[i].get(), obj.get()) < 0) return Ref();
                if (distinct && !to_cell(values[i], cells[i])) return Ref();
            }
            if (!keep_row(rows.get(), row.get(), distinct ? &seen : nullptr, std::move(cells))) return Ref();
        }
        return rows;
    } catch (const std::bad_alloc&) {
        PyErr_Format(PyExc_MemoryError, "out of memory after forming %zu rows", results.rows.size());
        return Ref();
    }
}

bool with_columns(QueryValue& q, const ParsedColumns& parsed) {
    const ParsedColumns cols = bound_names_read(parsed, q.vars());
    Results results;
    if (!compute(q, cols, results)) return false;
    // The new bindings: one column per result column, named by its key.
    std::vector<Column> columns(cols.columns.size());
    Ticker tick;
    for (auto& values : results.rows) {
        if (!tick.ok()) return false;
        for (std::size_t i = 0; i < values.size(); ++i) {
            Value& v = values[i];
            if (v.kind != Value::Null && v.element)
                columns[i].push_back(*v.element);
            else if (v.kind == Value::Object)
                columns[i].push_back(Bound::value(std::move(v.object)));
            else
                columns[i].emplace_back();
        }
    }
    Table next;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        while (!columns[i].empty() && columns[i].back().hole()) columns[i].pop_back();
        next.bind(key_of(*cols.columns[i]), std::move(columns[i]));
    }
    q.vars() = std::move(next);
    return true;
}

}  // namespace quorvel
