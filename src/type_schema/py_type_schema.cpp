#include "type_schema/py_type_schema.hpp"

#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "binding/pyclass.hpp"
#include "types/py_types.hpp"

namespace quorvel {

using py::Ref;

namespace {

// The value is immutable, so methods need no borrow guard; they copy the
// shared handle out before allocating, which is all re-entrancy requires.
std::shared_ptr<const TypeSchema> schema_of(PyObject* self) {
    return py::value_of<TypeSchemaValue>(self).schema;
}

PyObject* type_schema_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    Ref pattern;
    if (!py::bind_args("TypeSchema", args, kwargs, {{"pattern"}}, &pattern)) return nullptr;
    std::string text;
    if (!py::to_utf8(pattern.get(), "pattern", text)) return nullptr;
    return py::make_object<TypeSchemaValue>(cls, std::move(text)).release();
}

PyObject* type_schema_repr(PyObject* self) {
    auto schema = schema_of(self);
    std::string s = "TypeSchema(\"";
    s += schema->pattern();
    s += "\")";
    return py::str(s).release();
}

Ref pattern_text(PyObject* self) { return py::str(schema_of(self)->pattern()); }

PyObject* get_pattern(PyObject* self, void*) { return pattern_text(self).release(); }

bool bind_type(const char* func, PyObject* args, PyObject* kwargs, TypeRef& out) {
    Ref type;
    if (!py::bind_args(func, args, kwargs, {{"type"}}, &type)) return false;
    return python_to_type(type.get(), out);
}

PyObject* matches(PyObject* self, PyObject* args, PyObject* kwargs) {
    TypeRef type;
    if (!bind_type("matches", args, kwargs, type)) return nullptr;
    return py::boolean(schema_of(self)->matches_type(*type));
}

PyObject* capture(PyObject* self, PyObject* args, PyObject* kwargs) {
    TypeRef type;
    if (!bind_type("capture", args, kwargs, type)) return nullptr;
    auto schema = schema_of(self);
    Captures captures;
    bool matched = schema->capture(type, captures);
    Ref result = Ref::steal(PyDict_New());
    if (!result || !matched) return result.release();
    for (const auto& [name, captured] : captures) {
        Ref key = py::str(name);
        if (!key) return nullptr;
        Ref value = type_to_python(captured);
        if (!value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return result.release();
}

// Pickles as TypeSchema(pattern); copies are the schema itself, which cannot change.
PyObject* type_schema_reduce(PyObject* self, PyObject*) {
    Ref pattern = pattern_text(self);
    if (!pattern) return nullptr;
    return py::reduction(type_schema_type(), {pattern.get()});
}

PyMethodDef type_schema_methods[] = {
    {"matches", py::keyword_method(QV_ENTRY(matches)), METH_VARARGS | METH_KEYWORDS,
     "matches($self, type)\n--\n\n"
     "Checks whether a type matches this schema.\n\n"
     "Args:\n    type: A Variable or Application\n\n"
     "Returns:\n    True if the type matches the pattern, False otherwise"},
    {"capture", py::keyword_method(QV_ENTRY(capture)), METH_VARARGS | METH_KEYWORDS,
     "capture($self, type)\n--\n\n"
     "Matches a type and returns the sub-types bound by the named groups.\n\n"
     "Args:\n    type: A Variable or Application\n\n"
     "Returns:\n    A dict from capture name to the captured type; empty if the type\n"
     "    does not match"},
    {"__reduce__", QV_ENTRY(type_schema_reduce), METH_NOARGS, "__reduce__($self)\n--\n\nPickles as TypeSchema(pattern)."},
    {"__copy__", QV_ENTRY(py::same_object), METH_NOARGS, "__copy__($self)\n--\n\nThe schema itself: it cannot change."},
    {"__deepcopy__", QV_ENTRY(py::same_object), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe schema itself: it cannot change."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef type_schema_getset[] = {
    {"pattern", QV_ENTRY(get_pattern), nullptr, "The pattern text, exactly as given.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot type_schema_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("TypeSchema(pattern)\n--\n\n"
                       "A regex-like pattern for matching types.\n\n"
                       "Forms:\n"
                       "    \"$*$\"                 any type (wildcard)\n"
                       "    \"$Person$\"            exactly the variable Person\n"
                       "    \"$A -> B$\"            a function type; arrows group to the right\n"
                       "    \"$(name:pattern)$\"    a capture group binding the matched sub-type\n\n"
                       "Example:\n"
                       "    >>> s = quorvel.TypeSchema(\"$(x:*) -> B$\")\n"
                       "    >>> A, B = quorvel.Variable(\"A\"), quorvel.Variable(\"B\")\n"
                       "    >>> s.capture(quorvel.Application(A, B))\n"
                       "    {'x': Variable(\"A\")}\n\n"
                       "Fields:\n    pattern: The pattern text")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(type_schema_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<TypeSchemaValue>)},
    {Py_tp_str, reinterpret_cast<void*>(QV_ENTRY(type_schema_repr))},
    {Py_tp_repr, reinterpret_cast<void*>(QV_ENTRY(type_schema_repr))},
    {Py_tp_methods, type_schema_methods},
    {Py_tp_getset, type_schema_getset},
    {0, nullptr},
};

PyType_Spec type_schema_spec = {"quorvel.TypeSchema", sizeof(py::Box<TypeSchemaValue>), 0, Py_TPFLAGS_DEFAULT,
                                type_schema_slots};

}  // namespace

PyTypeObject* type_schema_type() {
    static PyTypeObject* t = py::create_type(&type_schema_spec);
    return t;
}

const TypeSchemaValue* as_type_schema(PyObject* obj) noexcept {
    if (Py_TYPE(obj) != type_schema_type()) return nullptr;
    return &py::value_of<TypeSchemaValue>(obj);
}

}  // namespace quorvel
