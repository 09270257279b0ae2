#include "term/py_term.hpp"

#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "binding/pyclass.hpp"
#include "errors/py_errors.hpp"
#include "types/py_types.hpp"

namespace quorvel {

using py::Ref;

namespace {

TermRef term_of(PyObject* self) { return py::value_of<TermValue>(self).term; }

PyObject* term_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    Ref objs[2];
    if (!py::bind_args("Term", args, kwargs, {{"name"}, {"type"}}, objs)) return nullptr;
    std::string name;
    if (!py::to_utf8(objs[0].get(), "name", name)) return nullptr;
    TypeRef type;
    if (!python_to_type(objs[1].get(), type)) return nullptr;
    return py::make_object<TermValue>(cls, TermValue{std::make_shared<const Term>(std::move(name), std::move(type))})
        .release();
}

PyObject* term_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref other;
    if (!py::bind_args("Term.__call__", args, kwargs, {{"other"}}, &other)) return nullptr;
    TermRef arg;
    if (!python_to_term(other.get(), "other", arg)) return nullptr;
    TermRef f = term_of(self);
    const TypeRef& ft = f->type();
    if (ft->is_variable())
        return raise(QuorvelError::type_mismatch("application type (A -> B)", ft->text(), "term application"));
    if (!(arg->type() == ft->left()))
        return raise(
            QuorvelError::type_mismatch(ft->left()->text(), arg->type()->text(), "function application"));
    std::string name = "(" + f->name() + " " + arg->name() + ")";
    return term_to_python(std::make_shared<const Term>(std::move(name), ft->right())).release();
}

PyObject* term_str(PyObject* self) {
    TermRef t = term_of(self);
    std::string s = t->name();
    s += ':';
    t->type()->append_text(s);
    return py::str(s).release();
}

PyObject* term_repr(PyObject* self) {
    TermRef t = term_of(self);
    std::string s = "Term(\"";
    s += t->name();
    s += "\", ";
    t->type()->append_text(s);
    s += ')';
    return py::str(s).release();
}

Py_hash_t term_hash(PyObject* self) { return static_cast<Py_hash_t>(term_of(self)->py_hash()); }

bool terms_equal(PyObject* a, PyObject* b) { return *term_of(a) == *term_of(b); }

PyObject* term_richcompare(PyObject* self, PyObject* other, int op) {
    return value_richcompare(self, other, op, term_type(), terms_equal);
}

PyObject* term_uid(PyObject* self, PyObject*) {
    TermRef t = term_of(self);
    char hex[64];
    digest_hex_into(t->digest(), hex);
    return PyUnicode_FromStringAndSize(hex, 64);
}

PyObject* get_name(PyObject* self, void*) { return py::str(term_of(self)->name()).release(); }

int set_name(PyObject* self, PyObject* value, void*) {
    if (py::refuse_delete(value)) return -1;
    std::string name;
    if (!py::to_utf8(value, "name", name)) return -1;
    TermRef old = term_of(self);
    py::value_of<TermValue>(self).term = std::make_shared<const Term>(std::move(name), old->type());
    return 0;
}

PyObject* get_type(PyObject* self, void*) { return type_to_python(term_of(self)->type()).release(); }

// Pickles and copies are Term(name, type): a new object, as the name can be set.
PyObject* term_reduce(PyObject* self, PyObject*) {
    TermRef t = term_of(self);
    Ref name = py::str(t->name());
    if (!name) return nullptr;
    Ref type = type_to_python(t->type());
    if (!type) return nullptr;
    return py::reduction(term_type(), {name.get(), type.get()});
}

PyMethodDef term_methods[] = {
    {"uid", QV_ENTRY(term_uid), METH_NOARGS,
     "uid($self)\n--\n\n"
     "Returns a unique identifier for this term.\n\n"
     "The UID is constructed using SHA256 hash based on the term's name and type UID."},
    {"__reduce__", QV_ENTRY(term_reduce), METH_NOARGS, "__reduce__($self)\n--\n\nPickles as Term(name, type)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef term_getset[] = {
    {"name", QV_ENTRY(get_name), QV_ENTRY(set_name), "The name of the term.", nullptr},
    {"type", QV_ENTRY(get_type), nullptr,
     "Gets the type of this term.\n\nReturns:\n    The type as a Python object (Variable or Application)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot term_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Term(name, type)\n--\n\n"
                    "Represents a typed term in the type theory.\n\n"
                    "Terms can be applied to other terms: if term `f` has type `A -> B` and\n"
                    "term `x` has type `A`, then `f(x)` produces a new term with type `B`.\n\n"
                    "Example:\n"
                    "    >>> A, B = quorvel.Variable(\"A\"), quorvel.Variable(\"B\")\n"
                    "    >>> f = quorvel.Term(\"f\", quorvel.Application(A, B))\n"
                    "    >>> x = quorvel.Term(\"x\", A)\n"
                    "    >>> f(x)\n"
                    "    Term(\"(f x)\", B)\n\n"
                    "Fields:\n"
                    "    name: The name of the term\n"
                    "    type: The type of the term")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(term_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<TermValue>)},
    {Py_tp_call, reinterpret_cast<void*>(QV_ENTRY(term_call))},
    {Py_tp_str, reinterpret_cast<void*>(QV_ENTRY(term_str))},
    {Py_tp_repr, reinterpret_cast<void*>(QV_ENTRY(term_repr))},
    {Py_tp_hash, reinterpret_cast<void*>(QV_ENTRY(term_hash))},
    {Py_tp_richcompare, reinterpret_cast<void*>(QV_ENTRY(term_richcompare))},
    {Py_tp_methods, term_methods},
    {Py_tp_getset, term_getset},
    {0, nullptr},
};

PyType_Spec term_spec = {"quorvel.Term", sizeof(py::Box<TermValue>), 0, Py_TPFLAGS_DEFAULT, term_slots};

}  // namespace

PyTypeObject* term_type() {
    static PyTypeObject* t = py::create_type(&term_spec);
    return t;
}

bool python_to_term(PyObject* obj, const char* param, TermRef& out) {
    if (!py::check_instance(obj, term_type(), param)) return false;
    out = term_of(obj);
    return true;
}

py::Ref term_to_python(TermRef t) {
    PyTypeObject* cls = term_type();
    if (!cls) return Ref();
    return py::make_object<TermValue>(cls, TermValue{std::move(t)});
}

}  // namespace quorvel
