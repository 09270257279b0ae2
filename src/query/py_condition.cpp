#include "query/py_condition.hpp"

#include "binding/args.hpp"
#include "binding/compare.hpp"
#include "errors/py_errors.hpp"
#include "text/text_cache.hpp"
#include "query/py_engine.hpp"

namespace quorvel {

using py::Ref;

namespace {

void collect_schemas(const cond::Expr& root, CompiledCondition& c) {
    std::vector<const cond::Expr*> stack{&root};
    while (!stack.empty()) {
        const cond::Expr* e = stack.back();
        stack.pop_back();
        if (e->kind == cond::Expr::Kind::TypeTest && !c.schemas.count(e->schema))
            c.schemas.emplace(e->schema, TypeSchemaValue(e->schema));
        for (const cond::Expr& child : e->children) stack.push_back(&child);
    }
}

// Three-valued truth.
enum class Tri { False, True, Null, Error };

Tri from_bool(bool b) { return b ? Tri::True : Tri::False; }

// An operand's value in one row: null, a Python object, or a graph element.
struct Value {
    enum Kind { Null, Object, Element } kind = Null;
    Ref object;
    const Bound* element = nullptr;
};

class Evaluator {
public:
    Evaluator(const QueryValue& q, const CompiledCondition& c) : t_(q.vars()), c_(c) {}

    Tri eval(const cond::Expr& e, std::size_t row) {
        using K = cond::Expr::Kind;
        switch (e.kind) {
            case K::Or: {
                Tri acc = Tri::False;
                for (const cond::Expr& child : e.children) {
                    Tri t = eval(child, row);
                    if (t == Tri::Error || t == Tri::True) return t;
                    if (t == Tri::Null) acc = Tri::Null;
                }
                return acc;
            }
            case K::And: {
                Tri acc = Tri::True;
                for (const cond::Expr& child : e.children) {
                    Tri t = eval(child, row);
                    if (t == Tri::Error || t == Tri::False) return t;
                    if (t == Tri::Null) acc = Tri::Null;
                }
                return acc;
            }
            case K::Not: {
                Tri t = eval(e.children[0], row);
                if (t == Tri::True) return Tri::False;
                if (t == Tri::False) return Tri::True;
                return t;
            }
            case K::Compare: return compare(e, row);
            case K::IsNull: {
                Value v;
                if (!operand(e.lhs, row, v)) return Tri::Error;
                return from_bool((v.kind == Value::Null) != e.negated);
            }
            case K::In: return in_list(e, row);
            case K::StartsWith:
            case K::EndsWith:
            case K::Contains: return string_test(e, row);
            case K::TypeTest: {
                const Bound* b = row_value(t_, e.variable, row);
                if (!b || !b->is_element()) return Tri::Null;
                const TypeSchemaValue& schema = c_.schemas.at(e.schema);
                if (b->is_node()) return from_bool(schema.matches_type(*b->type()));
                return from_bool(schema.matches_type(*b->edge_value().term->type()));
            }
            case K::Truth: {
                Value v;
                if (!operand(e.lhs, row, v)) return Tri::Error;
                if (v.kind == Value::Null) return Tri::Null;
                if (v.kind == Value::Element) return Tri::True;
                int t = PyObject_IsTrue(v.object.get());
                return t < 0 ? Tri::Error : from_bool(t);
            }
        }
        return Tri::Null;
    }

private:
    bool operand(const cond::Operand& o, std::size_t row, Value& out) {
        using K = cond::Operand::Kind;
        switch (o.kind) {
            case K::Literal:
                if (o.literal.kind == cond::Literal::Kind::Null) return true;
                out.object = literal(o.literal);
                if (!out.object) return false;
                out.kind = Value::Object;
                return true;
            case K::Property: {
                const Bound* b = row_value(t_, o.variable, row);
                if (!b) return true;
                Ref key = key_object(o.key);
                Ref v;
                if (!key || !bound_property(*b, key.get(), v)) return false;
                if (v && v.get() != Py_None) {
                    out.kind = Value::Object;
                    out.object = std::move(v);
                }
                return true;
            }
            case K::Variable: {
                const Bound* b = row_value(t_, o.variable, row);
                if (!b) return true;
                if (b->is_value()) {
                    out.object = b->to_python();
                    out.kind = out.object.get() == Py_None ? Value::Null : Value::Object;
                    return true;
                }
                out.element = b;
                out.kind = Value::Element;
                return true;
            }
            case K::Parameter:
                return not_run_yet("parameters are not substituted yet");
            case K::Function:
                return not_run_yet("functions are not evaluated yet");
        }
        return true;
    }

    static bool not_run_yet(const char* what) {
        PyErr_SetString(PyExc_NotImplementedError, what);
        return false;
    }

    // Elements meet other values as new Node / Edge objects.
    bool as_object(Value& v) {
        if (v.kind != Value::Element) return true;
        v.object = v.element->to_python();
        if (!v.object) return false;
        v.kind = Value::Object;
        return true;
    }

    Tri compare(const cond::Expr& e, std::size_t row) {
        Value l, r;
        if (!operand(e.lhs, row, l) || !operand(e.rhs, row, r)) return Tri::Error;
        if (l.kind == Value::Null || r.kind == Value::Null) return Tri::Null;
        const bool equality = e.cmp == cond::Cmp::Eq || e.cmp == cond::Cmp::Ne;
        if (equality && l.kind == Value::Element && r.kind == Value::Element) {
            // Two graph elements are the same when kind and uid agree.
            return from_bool(l.element->same_element(*r.element) == (e.cmp == cond::Cmp::Eq));
        }
        if (!as_object(l) || !as_object(r)) return Tri::Error;
        if (equality) {
            int eq = py::equal(l.object.get(), r.object.get());
            if (eq < 0) return Tri::Error;
            return from_bool((eq == 1) == (e.cmp == cond::Cmp::Eq));
        }
        int op = e.cmp == cond::Cmp::Lt ? Py_LT : e.cmp == cond::Cmp::Le ? Py_LE : e.cmp == cond::Cmp::Gt ? Py_GT : Py_GE;
        Ref res = Ref::steal(PyObject_RichCompare(l.object.get(), r.object.get(), op));
        if (!res) {
            // Values that cannot be ordered against each other: unknown.
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                return Tri::Null;
            }
            return Tri::Error;
        }
        int t = PyObject_IsTrue(res.get());
        return t < 0 ? Tri::Error : from_bool(t);
    }

    Tri in_list(const cond::Expr& e, std::size_t row) {
        Value v;
        if (!operand(e.lhs, row, v)) return Tri::Error;
        if (v.kind == Value::Null) return Tri::Null;
        if (!as_object(v)) return Tri::Error;
        if (e.list.kind == cond::Literal::Kind::Parameter) {
            not_run_yet("parameters are not substituted yet");
            return Tri::Error;
        }
        bool found = false;
        for (const cond::Literal& item : e.list.items) {
            if (item.kind == cond::Literal::Kind::Null) continue;
            Ref candidate = literal(item);
            if (!candidate) return Tri::Error;
            int eq = py::equal(v.object.get(), candidate.get());
            if (eq < 0) return Tri::Error;
            if (eq) {
                found = true;
                break;
            }
        }
        return from_bool(found != e.negated);
    }

    Tri string_test(const cond::Expr& e, std::size_t row) {
        Value l, r;
        if (!operand(e.lhs, row, l) || !operand(e.rhs, row, r)) return Tri::Error;
        if (l.kind != Value::Object || r.kind != Value::Object || !PyUnicode_Check(l.object.get()) ||
            !PyUnicode_Check(r.object.get()))
            return Tri::Null;
        Py_ssize_t res;
        if (e.kind == cond::Expr::Kind::Contains) {
            res = PyUnicode_Contains(l.object.get(), r.object.get());
        } else {
            res = PyUnicode_Tailmatch(l.object.get(), r.object.get(), 0, PY_SSIZE_T_MAX,
                                      e.kind == cond::Expr::Kind::StartsWith ? -1 : 1);
        }
        if (res < 0) return Tri::Error;
        return from_bool(res != 0);
    }

    // Keys and literals become Python objects once per filtering, not per row.
    Ref key_object(const std::string& key) {
        auto [it, added] = keys_.try_emplace(&key);
        if (added) it->second = py::str(key);
        return it->second.clone();
    }
    Ref literal(const cond::Literal& l) {
        auto [it, added] = literals_.try_emplace(&l);
        if (added) it->second = literal_to_python(l);
        if (!it->second) {
            literals_.erase(it);
            return Ref();
        }
        // A list literal is mutable: each use gets its own.
        return l.kind == cond::Literal::Kind::List ? literal_to_python(l) : it->second.clone();
    }

    const Table& t_;
    const CompiledCondition& c_;
    std::unordered_map<const std::string*, Ref> keys_;
    std::unordered_map<const cond::Literal*, Ref> literals_;
};

}  // namespace

std::shared_ptr<const CompiledCondition> compile_condition(std::string_view text) {
    static text::TextCache<CompiledCondition> cache(512);
    if (auto hit = cache.find(text)) return hit;
    auto parsed = cond::parse_condition(text);
    if (auto* err = std::get_if<cond::ParseError>(&parsed)) {
        raise(QuorvelError::invalid_query(err->message, "where"));
        return nullptr;
    }
    auto c = std::make_shared<CompiledCondition>();
    c->expr = std::move(std::get<cond::Expr>(parsed));
    c->variables = cond::variables_of(c->expr);
    collect_schemas(c->expr, *c);
    cache.put(text, c);
    return c;
}

bool filter_rows(QueryValue& q, const CompiledCondition& c) {
    for (const std::string& v : c.variables)
        if (!q.vars().has(v)) {
            raise(QuorvelError::variable_not_found(v, "where"));
            return false;
        }
    const std::size_t n = q.vars().rows();
    std::vector<std::size_t> kept;
    Evaluator eval(q, c);
    Ticker tick;
    for (std::size_t row = 0; row < n; ++row) {
        if (!tick.ok()) return false;
        Tri t = eval.eval(c.expr, row);
        if (t == Tri::Error) return false;
        if (t == Tri::True) kept.push_back(row);
    }
    if (kept.size() != n) q.vars().keep_rows(kept);
    return true;
}

}  // namespace quorvel
