#include "query/py_condition.hpp"

#include <algorithm>

#include "binding/args.hpp"
#include "binding/compare.hpp"
#include "binding/dict_keys.hpp"
#include "errors/py_errors.hpp"
#include "query/py_engine.hpp"
#include "text/text_cache.hpp"

namespace quorvel {

using py::Ref;

namespace {

// The schemas of the type tests, compiled once, and the parameters named.
void collect(const cond::Expr& root, CompiledCondition& c) {
    auto add_parameter = [&](const std::string& name) {
        if (std::find(c.parameters.begin(), c.parameters.end(), name) == c.parameters.end())
            c.parameters.push_back(name);
    };
    std::vector<const cond::Operand*> operands;
    std::vector<const cond::Expr*> stack{&root};
    while (!stack.empty()) {
        const cond::Expr* e = stack.back();
        stack.pop_back();
        if (e->kind == cond::Expr::Kind::TypeTest && !c.schemas.count(e->schema))
            c.schemas.emplace(e->schema, TypeSchemaValue(e->schema));
        if (e->kind == cond::Expr::Kind::In && e->list.kind == cond::Literal::Kind::Parameter)
            add_parameter(e->list.text);
        operands.push_back(&e->lhs);
        operands.push_back(&e->rhs);
        for (const cond::Expr& child : e->children) stack.push_back(&child);
    }
    while (!operands.empty()) {
        const cond::Operand* o = operands.back();
        operands.pop_back();
        if (o->kind == cond::Operand::Kind::Parameter) add_parameter(o->name);
        for (const cond::Operand& a : o->args) operands.push_back(&a);
    }
}

Tri from_bool(bool b) {
    return b ? Tri::True : Tri::False;
}

// str's own method, called on a str (subclass included) without looking it
// up on the object: a subclass cannot run its own code through it.
Ref str_method(const char* name) {
    return py::get_attr(reinterpret_cast<PyObject*>(&PyUnicode_Type), name);  // interned: no new name per call
}

}  // namespace


const Bound* RowSource::value(const std::string& name, std::size_t row) const {
    if (match_ && std::find(match_vars_.begin(), match_vars_.end(), name) != match_vars_.end()) {
        const Column* c = match_->column(name);
        if (!c || row >= c->size() || (*c)[row].hole()) return nullptr;
        return &(*c)[row];
    }
    return row_value(table_, name, row);
}

bool RowSource::has(const std::string& name) const {
    if (match_ && std::find(match_vars_.begin(), match_vars_.end(), name) != match_vars_.end()) return true;
    return table_.has(name);
}

bool Evaluator::block() {
    blocked_ = true;
    return false;
}

Tri Evaluator::test(const cond::Expr& e, const CompiledCondition& c, std::size_t row) {
    using K = cond::Expr::Kind;
    auto failed = [&] { return blocked_ ? Tri::Blocked : Tri::Error; };
    switch (e.kind) {
        case K::Or: {
            Tri acc = Tri::False;
            for (const cond::Expr& child : e.children) {
                Tri t = test(child, c, row);
                if (t == Tri::Error || t == Tri::Blocked || t == Tri::True) return t;
                if (t == Tri::Null) acc = Tri::Null;
            }
            return acc;
        }
        case K::And: {
            Tri acc = Tri::True;
            for (const cond::Expr& child : e.children) {
                Tri t = test(child, c, row);
                if (t == Tri::Error || t == Tri::Blocked || t == Tri::False) return t;
                if (t == Tri::Null) acc = Tri::Null;
            }
            return acc;
        }
        case K::Not: {
            Tri t = test(e.children[0], c, row);
            if (t == Tri::True) return Tri::False;
            if (t == Tri::False) return Tri::True;
            return t;
        }
        case K::Compare:
            return compare(e, row);
        case K::IsNull: {
            Value v;
            if (!operand(e.lhs, row, v)) return failed();
            return from_bool((v.kind == Value::Null) != e.negated);
        }
        case K::In:
            return in_list(e, row);
        case K::StartsWith:
        case K::EndsWith:
        case K::Contains:
            return string_test(e, row);
        case K::TypeTest: {
            const Bound* b = rows_.value(e.variable, row);
            if (!b || !b->is_element()) return Tri::Null;
            const TypeSchemaValue& schema = c.schemas.at(e.schema);
            if (b->is_node()) return from_bool(schema.matches_type(*b->type()));
            return from_bool(schema.matches_type(*b->edge_value().term->type()));
        }
        case K::Truth: {
            Value v;
            if (!operand(e.lhs, row, v)) return failed();
            if (v.kind == Value::Null) return Tri::Null;
            if (v.kind == Value::Element) return Tri::True;
            if (plain_only_ && !py::plain_value(v.object.get())) return block(), Tri::Blocked;
            int t = PyObject_IsTrue(v.object.get());
            return t < 0 ? Tri::Error : from_bool(t);
        }
    }
    return Tri::Null;
}

bool Evaluator::parameter(const std::string& name, Ref& out) {
    PyObject* found = nullptr;
    if (parameters_) {
        Ref key = py::str(name);
        if (!key) return false;
        found = PyDict_GetItemWithError(parameters_, key.get());  // str keys only: no Python code
        if (!found && PyErr_Occurred()) return false;
    }
    if (!found) return raise_missing_parameter(name, "where"), false;
    out = Ref::borrow(found);
    return true;
}

bool Evaluator::operand(const cond::Operand& o, std::size_t row, Value& out) {
    using K = cond::Operand::Kind;
    switch (o.kind) {
        case K::Literal:
            if (o.literal.kind == cond::Literal::Kind::Null) return true;
            out.object = literal(o.literal);
            if (!out.object) return false;
            out.kind = Value::Object;
            return true;
        case K::Parameter: {
            Ref v;
            if (!parameter(o.name, v)) return false;
            if (v.get() != Py_None) {
                out.kind = Value::Object;
                out.object = std::move(v);
            }
            return true;
        }
        case K::Property: {
            const Bound* b = rows_.value(o.variable, row);
            if (!b) return true;
            if (plain_only_ && b->is_element() &&
                !(b->properties() && py::keys_are_exact_str(b->properties())))
                return block();
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
            const Bound* b = rows_.value(o.variable, row);
            if (!b) return true;
            if (b->is_value()) {
                if (b->object() != Py_None) {
                    out.object = b->to_python();
                    if (!out.object) return false;
                    out.kind = Value::Object;
                    if (b->kind() == Bound::Kind::EdgeList) out.element = b;  // told apart by its edges
                }
                return true;
            }
            out.element = b;
            out.kind = Value::Element;
            return true;
        }
        case K::Function:
            return call(o, row, out);
    }
    return true;
}

bool Evaluator::call(const cond::Operand& o, std::size_t row, Value& out) {
    using F = cond::Function;
    if (o.function == F::Coalesce) {
        for (const cond::Operand& arg : o.args) {
            Value v;
            if (!operand(arg, row, v)) return false;
            if (v.kind != Value::Null) {
                out = std::move(v);
                return true;
            }
        }
        return true;
    }
    Value arg;
    if (o.args.empty() || !operand(o.args[0], row, arg)) return o.args.empty();
    auto give = [&](Ref v) {
        if (!v) return false;
        out.kind = Value::Object;
        out.object = std::move(v);
        return true;
    };
    switch (o.function) {
        case F::Term:
            if (arg.kind != Value::Element || !arg.element->is_edge()) return true;
            return give(py::str(arg.element->edge_value().term->name()));
        case F::Type: {
            if (arg.kind != Value::Element) return true;
            const Bound& b = *arg.element;
            return give(py::str(b.is_edge() ? b.edge_value().term->type()->text() : b.type()->text()));
        }
        case F::Uid: {
            if (arg.kind != Value::Element) return true;
            char hex[64];
            digest_hex_into(arg.element->digest(), hex);
            return give(Ref::steal(PyUnicode_FromStringAndSize(hex, 64)));
        }
        case F::Size: {
            if (arg.kind != Value::Object) return true;
            PyObject* v = arg.object.get();
            if (PyUnicode_Check(v)) return give(Ref::steal(PyLong_FromSsize_t(PyUnicode_GET_LENGTH(v))));
            if (PyList_Check(v)) return give(Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(v))));
            return true;
        }
        case F::Lower:
        case F::Upper: {
            if (arg.kind != Value::Object || !PyUnicode_Check(arg.object.get())) return true;
            Ref method = str_method(o.function == F::Lower ? "lower" : "upper");
            if (!method) return false;
            return give(Ref::steal(PyObject_CallOneArg(method.get(), arg.object.get())));
        }
        case F::Coalesce:
            break;
    }
    return true;
}

bool Evaluator::as_object(Value& v) {
    if (v.kind != Value::Element) return true;
    v.object = v.element->to_python();
    if (!v.object) return false;
    v.kind = Value::Object;
    return true;
}

Tri Evaluator::compare(const cond::Expr& e, std::size_t row) {
    Value l, r;
    if (!operand(e.lhs, row, l) || !operand(e.rhs, row, r)) return blocked_ ? Tri::Blocked : Tri::Error;
    if (l.kind == Value::Null || r.kind == Value::Null) return Tri::Null;
    const bool equality = e.cmp == cond::Cmp::Eq || e.cmp == cond::Cmp::Ne;
    if (equality && l.kind == Value::Element && r.kind == Value::Element) {
        // Two graph elements are the same when kind and uid agree.
        return from_bool(l.element->same_element(*r.element) == (e.cmp == cond::Cmp::Eq));
    }
    if (plain_only_ && (l.kind != Value::Object || r.kind != Value::Object || !py::plain_value(l.object.get()) ||
                        !py::plain_value(r.object.get())))
        return block(), Tri::Blocked;
    if (!as_object(l) || !as_object(r)) return Tri::Error;
    if (equality) {
        int eq = py::equal(l.object.get(), r.object.get());
        if (eq < 0) return Tri::Error;
        return from_bool((eq == 1) == (e.cmp == cond::Cmp::Eq));
    }
    int op = e.cmp == cond::Cmp::Lt   ? Py_LT
             : e.cmp == cond::Cmp::Le ? Py_LE
             : e.cmp == cond::Cmp::Gt ? Py_GT
                                      : Py_GE;
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

Tri Evaluator::in_list(const cond::Expr& e, std::size_t row) {
    Value v;
    if (!operand(e.lhs, row, v)) return blocked_ ? Tri::Blocked : Tri::Error;
    if (v.kind == Value::Null) return Tri::Null;
    if (plain_only_ && (v.kind != Value::Object || !py::plain_value(v.object.get())))
        return block(), Tri::Blocked;
    if (!as_object(v)) return Tri::Error;
    bool found = false;
    if (e.list.kind == cond::Literal::Kind::Parameter) {
        // The parameter's own items, as Python iterates them.
        Ref list;
        if (!parameter(e.list.text, list)) return Tri::Error;
        if (plain_only_ && !PyList_CheckExact(list.get()) && !PyTuple_CheckExact(list.get()))
            return block(), Tri::Blocked;
        Ref items = Ref::steal(PySequence_Fast(list.get(), "the list of IN must be iterable"));
        if (!items) return Tri::Error;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()) && !found; ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
            if (item.get() == Py_None) continue;
            if (plain_only_ && !py::plain_value(item.get())) return block(), Tri::Blocked;
            int eq = py::equal(v.object.get(), item.get());
            if (eq < 0) return Tri::Error;
            found = eq == 1;
        }
        return from_bool(found != e.negated);
    }
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

Tri Evaluator::string_test(const cond::Expr& e, std::size_t row) {
    Value l, r;
    if (!operand(e.lhs, row, l) || !operand(e.rhs, row, r)) return blocked_ ? Tri::Blocked : Tri::Error;
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

// Keys and literals become Python objects once per evaluator, not per row.
Ref Evaluator::key_object(const std::string& key) {
    auto [it, added] = keys_.try_emplace(&key);
    if (added) it->second = py::str(key);
    return it->second.clone();
}

Ref Evaluator::literal(const cond::Literal& l) {
    // A list literal is mutable: each use gets its own.
    if (l.kind == cond::Literal::Kind::List) return literal_to_python(l);
    auto [it, added] = literals_.try_emplace(&l);
    if (added) it->second = literal_to_python(l);
    if (!it->second) {
        literals_.erase(it);
        return Ref();
    }
    return it->second.clone();
}

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
    collect(c->expr, *c);
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
    RowSource rows(q.vars());
    Evaluator eval(rows, q.parameters.get());
    Ticker tick;
    for (std::size_t row = 0; row < n; ++row) {
        if (!tick.ok()) return false;
        Tri t = eval.test(c.expr, c, row);
        if (t == Tri::Error) return false;
        if (t == Tri::True) kept.push_back(row);
    }
    return kept.size() == n || q.vars().keep_rows(kept);
}

}  // namespace quorvel
