#include "types/py_types.hpp"

#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "binding/pyclass.hpp"
#include "persist/py_type_table.hpp"

namespace quorvel {

using py::Ref;

namespace {

// Methods copy the handle out first: the name setter may replace it while a
// call is under way (from a finalizer run by an allocation).
TypeRef type_of(PyObject* self) { return py::value_of<TypeValue>(self).type; }

PyObject* make(PyTypeObject* cls, TypeRef t) {
    return py::make_object<TypeValue>(cls, TypeValue{std::move(t)}).release();
}

PyObject* uid(PyObject* self, PyObject*) {
    TypeRef t = type_of(self);
    char hex[64];
    digest_hex_into(t->digest(), hex);
    return PyUnicode_FromStringAndSize(hex, 64);
}

PyObject* str(PyObject* self) { return py::str(type_of(self)->text()).release(); }

Py_hash_t hash(PyObject* self) { return static_cast<Py_hash_t>(type_of(self)->py_hash()); }

bool types_equal(PyObject* a, PyObject* b) { return type_of(a) == type_of(b); }

// ---- Variable ------------------------------------------------------------

PyObject* variable_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    Ref name;
    if (!py::bind_args("Variable", args, kwargs, {{"name"}}, &name)) return nullptr;
    std::string text;
    if (!py::to_utf8(name.get(), "name", text)) return nullptr;
    return make(cls, Type::variable(std::move(text)));
}

PyObject* variable_repr(PyObject* self) {
    TypeRef t = type_of(self);
    std::string s = "Variable(\"";
    s += t->name();
    s += "\")";
    return py::str(s).release();
}

PyObject* variable_richcompare(PyObject* self, PyObject* other, int op) {
    return value_richcompare(self, other, op, variable_type(), types_equal);
}

PyObject* get_name(PyObject* self, void*) { return py::str(type_of(self)->name()).release(); }

int set_name(PyObject* self, PyObject* value, void*) {
    if (py::refuse_delete(value)) return -1;
    std::string text;
    if (!py::to_utf8(value, "name", text)) return -1;
    py::value_of<TypeValue>(self).type = Type::variable(std::move(text));
    return 0;
}

// Pickles and copies are Variable(name): a new object, as the name can be set.
PyObject* variable_reduce(PyObject* self, PyObject*) {
    Ref name = py::str(type_of(self)->name());
    if (!name) return nullptr;
    return py::reduction(variable_type(), {name.get()});
}

PyMethodDef variable_methods[] = {
    {"uid", QV_ENTRY(uid), METH_NOARGS,
     "uid($self)\n--\n\n"
     "Returns a unique identifier for this variable.\n\n"
     "Returns:\n    A SHA256 hash based on the variable name"},
    {"__reduce__", QV_ENTRY(variable_reduce), METH_NOARGS, "__reduce__($self)\n--\n\nPickles as Variable(name)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef variable_getset[] = {
    {"name", QV_ENTRY(get_name), QV_ENTRY(set_name), "The name of the type variable.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot variable_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Variable(name)\n--\n\n"
                    "Represents an atomic type variable.\n\n"
                    "Variables are the basic building blocks of the type system.\n\n"
                    "Example:\n"
                    "    >>> person = quorvel.Variable(\"Person\")\n"
                    "    >>> print(person)\n"
                    "    Person\n\n"
                    "Fields:\n    name: The name of the type variable")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(variable_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<TypeValue>)},
    {Py_tp_str, reinterpret_cast<void*>(QV_ENTRY(str))},
    {Py_tp_repr, reinterpret_cast<void*>(QV_ENTRY(variable_repr))},
    {Py_tp_hash, reinterpret_cast<void*>(QV_ENTRY(hash))},
    {Py_tp_richcompare, reinterpret_cast<void*>(QV_ENTRY(variable_richcompare))},
    {Py_tp_methods, variable_methods},
    {Py_tp_getset, variable_getset},
    {0, nullptr},
};

PyType_Spec variable_spec = {"quorvel.Variable", sizeof(py::Box<TypeValue>), 0, Py_TPFLAGS_DEFAULT, variable_slots};

// ---- Application -----------------------------------------------------------

PyObject* application_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    Ref objs[2];
    if (!py::bind_args("Application", args, kwargs, {{"left"}, {"right"}}, objs)) return nullptr;
    TypeRef left, right;
    if (!python_to_type(objs[0].get(), left) || !python_to_type(objs[1].get(), right)) return nullptr;
    return make(cls, Type::application(std::move(left), std::move(right)));
}

PyObject* application_repr(PyObject* self) {
    TypeRef t = type_of(self);
    std::string s = "Application(";
    t->left()->append_text(s);
    s += ", ";
    t->right()->append_text(s);
    s += ')';
    return py::str(s).release();
}

PyObject* application_richcompare(PyObject* self, PyObject* other, int op) {
    return value_richcompare(self, other, op, application_type(), types_equal);
}

PyObject* get_left(PyObject* self, void*) { return type_to_python(type_of(self)->left()).release(); }
PyObject* get_right(PyObject* self, void*) { return type_to_python(type_of(self)->right()).release(); }

// Pickled as a flat table of its parts, not as Application(left, right):
// pickle would recurse once per level of a deep type.
PyObject* application_reduce(PyObject* self, PyObject*) {
    TypeTable table;
    table.add(type_of(self));
    Ref list = type_table_to_list(table);
    if (!list) return nullptr;
    Ref rebuild = py::get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_table");
    if (!rebuild) return nullptr;
    return py::reduction(rebuild.get(), {list.get()});
}

PyMethodDef application_methods[] = {
    {"uid", QV_ENTRY(uid), METH_NOARGS,
     "uid($self)\n--\n\n"
     "Returns a unique identifier for this application.\n\n"
     "Returns:\n    A SHA256 hash based on the left and right types"},
    {"__reduce__", QV_ENTRY(application_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles as a flat table of the type's parts, however deep it is."},
    {"__copy__", QV_ENTRY(py::same_object), METH_NOARGS, "__copy__($self)\n--\n\nThe application itself: it cannot change."},
    {"__deepcopy__", QV_ENTRY(py::same_object), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe application itself: it cannot change."},
    {"_from_table", QV_ENTRY(type_from_table), METH_O | METH_STATIC,
     "_from_table(table, /)\n--\n\nRebuilds a pickled type from its table."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef application_getset[] = {
    {"left", QV_ENTRY(get_left), nullptr,
     "Gets the left (input) type of this application.\n\nReturns:\n    The input type as a Python object", nullptr},
    {"right", QV_ENTRY(get_right), nullptr,
     "Gets the right (output) type of this application.\n\nReturns:\n    The output type as a Python object",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot application_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Application(left, right)\n--\n\n"
                    "Represents a function type (application type).\n\n"
                    "An application `A -> B` takes an input of type `left` (A) to an output\n"
                    "of type `right` (B). Applications nest: printed forms are \"(A -> B)\" and\n"
                    "\"((A -> B) -> C)\".\n\n"
                    "Fields (accessible via getters):\n"
                    "    left: The input type\n"
                    "    right: The output type")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(application_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<TypeValue>)},
    {Py_tp_str, reinterpret_cast<void*>(QV_ENTRY(str))},
    {Py_tp_repr, reinterpret_cast<void*>(QV_ENTRY(application_repr))},
    {Py_tp_hash, reinterpret_cast<void*>(QV_ENTRY(hash))},
    {Py_tp_richcompare, reinterpret_cast<void*>(QV_ENTRY(application_richcompare))},
    {Py_tp_methods, application_methods},
    {Py_tp_getset, application_getset},
    {0, nullptr},
};

PyType_Spec application_spec = {"quorvel.Application", sizeof(py::Box<TypeValue>), 0, Py_TPFLAGS_DEFAULT,
                                application_slots};

}  // namespace

PyTypeObject* variable_type() {
    static PyTypeObject* t = py::create_type(&variable_spec);
    return t;
}

PyTypeObject* application_type() {
    static PyTypeObject* t = py::create_type(&application_spec);
    return t;
}

bool python_to_type(PyObject* obj, TypeRef& out) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp == variable_type() || tp == application_type()) {
        out = type_of(obj);
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "Expected Variable or Application");
    return false;
}

py::Ref type_to_python(const TypeRef& t) {
    PyTypeObject* cls = t->is_variable() ? variable_type() : application_type();
    if (!cls) return Ref();
    return py::make_object<TypeValue>(cls, TypeValue{t});
}

PyObject* value_richcompare(PyObject* self, PyObject* other, int op, PyTypeObject* cls,
                            bool (*equal)(PyObject*, PyObject*)) {
    switch (op) {
        case Py_EQ:
            if (Py_TYPE(other) != cls) return py::not_implemented();
            return py::boolean(equal(self, other));
        case Py_NE: {
            Ref eq = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
            if (!eq) return nullptr;
            int truth = PyObject_IsTrue(eq.get());
            if (truth < 0) return nullptr;
            return py::boolean(!truth);
        }
        default:
            return py::not_implemented();
    }
}

}  // namespace quorvel
