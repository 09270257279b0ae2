#include "query/py_condition.hpp"

#include "binding/args.hpp"
#include "errors/py_errors.hpp"
#include "query/py_query.hpp"
#include "query/py_rows.hpp"

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
    const QueryResult* element = nullptr;
};

class Evaluator {
public:
    Evaluator(const QueryValue& q, const CompiledCondition& c) : q_(q), c_(c) {}

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
                const QueryResult* r = row_value(q_, e.variable, row);
                if (!r) return Tri::Null;
                const TypeSchemaValue& schema = c_.schemas.at(e.schema);
                if (const NodeValue* n = std::get_if<NodeValue>(r)) return from_bool(schema.matches_type(*n->type));
                return from_bool(schema.matches_type(*std::get<EdgeValue>(*r).term->type()));
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
                out.object = literal_to_python(o.literal);
                if (!out.object) return false;
                out.kind = Value::Object;
                return true;
            case K::Property: {
                Ref v;
                if (!row_property(q_, o.variable, o.key, row, v)) return false;
                if (v && v.get() != Py_None) {
                    out.kind = Value::Object;
                    out.object = std::move(v);
                }
                return true;
            }
            case K::Variable:
                out.element = row_value(q_, o.variable, row);
                if (out.element) out.kind = Value::Element;
                return true;
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
        v.object = result_to_python(*v.element);
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
            bool same = l.element->index() == r.element->index() &&
                        (std::holds_alternative<NodeValue>(*l.element)
                             ? std::get<NodeValue>(*l.element).type->digest() ==
                                   std::get<NodeValue>(*r.element).type->digest()
                             : std::get<EdgeValue>(*l.element).term->digest() ==
                                   std::get<EdgeValue>(*r.element).term->digest());
            return from_bool(same == (e.cmp == cond::Cmp::Eq));
        }
        if (!as_object(l) || !as_object(r)) return Tri::Error;
        if (equality) {
            int eq = PyObject_RichCompareBool(l.object.get(), r.object.get(), Py_EQ);
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
            Ref candidate = literal_to_python(item);
            if (!candidate) return Tri::Error;
            int eq = PyObject_RichCompareBool(v.object.get(), candidate.get(), Py_EQ);
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

    const QueryValue& q_;
    const CompiledCondition& c_;
};

}  // namespace

std::shared_ptr<const CompiledCondition> compile_condition(std::string_view text) {
    auto parsed = cond::parse_condition(text);
    if (auto* err = std::get_if<cond::ParseError>(&parsed)) {
        raise(QuorvelError::invalid_query(err->message, "where"));
        return nullptr;
    }
    auto c = std::make_shared<CompiledCondition>();
    c->expr = std::move(std::get<cond::Expr>(parsed));
    c->variables = cond::variables_of(c->expr);
    collect_schemas(c->expr, *c);
    return c;
}

bool filter_rows(QueryValue& q, const CompiledCondition& c) {
    for (const std::string& v : c.variables)
        if (!q.vars().count(v)) {
            raise(QuorvelError::variable_not_found(v, "where"));
            return false;
        }
    const std::size_t n = longest_binding(q);
    std::vector<std::size_t> kept;
    Evaluator eval(q, c);
    for (std::size_t row = 0; row < n; ++row) {
        Tri t = eval.eval(c.expr, row);
        if (t == Tri::Error) return false;
        if (t == Tri::True) kept.push_back(row);
    }
    if (kept.size() != n) keep_rows(q, kept);
    return true;
}

}  // namespace quorvel
