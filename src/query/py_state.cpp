// The query's persistent state: the queue as a chain of immutable cells and
// the bindings shared copy-on-write (see py_query.hpp), both held in small
// internal Python objects so that the garbage collector sees every reference.
#include "binding/pyclass.hpp"
#include "query/py_query.hpp"

namespace quorvel {

using py::Ref;

namespace {

int traverse_operation(const QueryOperation& op, visitproc visit, void* arg) {
    return std::visit(
        [&](const auto& o) -> int {
            using T = std::decay_t<decltype(o)>;
            if constexpr (std::is_same_v<T, SetOp>) {
                QV_VISIT(o.properties);
                return 0;
            } else if constexpr (std::is_same_v<T, MatchOperation> || std::is_same_v<T, CreateOperation> ||
                                 std::is_same_v<T, MergeOperation>) {
                return std::visit(
                    [&](const auto& payload) -> int {
                        using P = std::decay_t<decltype(payload)>;
                        if constexpr (std::is_same_v<P, MatchEdge> || std::is_same_v<P, CreateEdge>)
                            return payload.pattern.traverse(visit, arg);
                        else
                            return payload.traverse(visit, arg);
                    },
                    o.op);
            } else {
                return 0;
            }
        },
        op);
}

// ---- queue cells ----------------------------------------------------------------

struct OpCell {
    QueryOperation op;
    py::Ref prev;  // the cell before, or null for the first
    // The operation's effects, made by the first run that asks.
    mutable std::unique_ptr<const plan::Effects> effects;

    OpCell(QueryOperation o, py::Ref p) : op(std::move(o)), prev(std::move(p)) {}
    int traverse(visitproc visit, void* arg) const {
        QV_VISIT(prev);
        return traverse_operation(op, visit, arg);
    }
    void clear() { prev.reset(); }
};

// A long queue is a long chain of cells: release it link by link instead of
// letting each cell's release recurse into the one before it.
void op_cell_dealloc(PyObject* o) {
    Ref prev = std::move(py::value_of<OpCell>(o).prev);
    py::dealloc<OpCell>(o);
    while (prev && Py_REFCNT(prev.get()) == 1) {
        Ref before = std::move(py::value_of<OpCell>(prev.get()).prev);
        prev = std::move(before);  // frees the cell, whose own link is now empty
    }
}

PyType_Slot op_cell_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(op_cell_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(py::traverse<OpCell>)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear<OpCell>)},
    {0, nullptr},
};

PyType_Spec op_cell_spec = {"quorvel._QueuedOperation", sizeof(py::Box<OpCell>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            op_cell_slots};

PyTypeObject* op_cell_type() {
    static PyTypeObject* t = py::create_type(&op_cell_spec);
    return t;
}

// ---- shared bindings ------------------------------------------------------------

struct VarsValue {
    Table map;

    VarsValue() = default;
    explicit VarsValue(const Table& m) : map(m) {}
    int traverse(visitproc visit, void* arg) const { return map.traverse(visit, arg); }
    void clear() {
        // Empty first: the release may run finalizers that look at the table.
        Table dying = std::move(map);
        map = Table();
    }
};

PyType_Slot vars_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<VarsValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(py::traverse<VarsValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear<VarsValue>)},
    {0, nullptr},
};

PyType_Spec vars_spec = {"quorvel._Bindings", sizeof(py::Box<VarsValue>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         vars_slots};

PyTypeObject* vars_type() {
    static PyTypeObject* t = py::create_type(&vars_spec);
    return t;
}

}  // namespace

void OpList::push(QueryOperation op) {
    PyTypeObject* cls = op_cell_type();
    if (!cls) throw std::bad_alloc();
    Ref cell = py::make_object<OpCell>(cls, std::move(op), tail_.clone());
    if (!cell) throw std::bad_alloc();
    tail_ = std::move(cell);
    ++size_;
}

std::vector<const QueryOperation*> OpList::in_order() const {
    std::vector<const QueryOperation*> ops(size_);
    PyObject* cell = tail_.get();
    for (std::size_t i = size_; i-- > 0 && cell;) {
        const OpCell& c = py::value_of<OpCell>(cell);
        ops[i] = &c.op;
        cell = c.prev.get();
    }
    return ops;
}

std::vector<const plan::Effects*> OpList::effects_in_order() const {
    std::vector<const plan::Effects*> out(size_);
    PyObject* cell = tail_.get();
    for (std::size_t i = size_; i-- > 0 && cell;) {
        const OpCell& c = py::value_of<OpCell>(cell);
        if (!c.effects) c.effects = std::make_unique<const plan::Effects>(effects_of(c.op));
        out[i] = c.effects.get();
        cell = c.prev.get();
    }
    return out;
}

const Table& SharedVars::view() const noexcept {
    static const Table empty;
    return obj_ ? py::value_of<VarsValue>(obj_.get()).map : empty;
}

Table& SharedVars::edit() {
    if (pinned_) return *pinned_;
    // Shared with another query (refcount above one): take a private copy.
    if (!obj_ || Py_REFCNT(obj_.get()) > 1) {
        PyTypeObject* cls = vars_type();
        if (!cls) throw std::bad_alloc();
        Ref fresh = obj_ ? py::make_object<VarsValue>(cls, view()) : py::make_object<VarsValue>(cls);
        if (!fresh) throw std::bad_alloc();
        obj_ = std::move(fresh);
    }
    return py::value_of<VarsValue>(obj_.get()).map;
}

int QueryValue::traverse(visitproc visit, void* arg) const {
    if (int r = graph.traverse(visit, arg)) return r;
    if (int r = operations.traverse(visit, arg)) return r;
    QV_VISIT(parameters);
    return bindings.traverse(visit, arg);
}

void QueryValue::clear() {
    operations.clear();
    bindings.clear();
    graph.clear();
    parameters.reset();
}

}  // namespace quorvel
