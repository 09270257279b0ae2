// Python class Query: the builder methods, which only append to the queue,
// and the result methods, which run it.
#include "query/py_query.hpp"

#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "binding/pyclass.hpp"
#include "errors/py_errors.hpp"

namespace quorvel {

using py::Ref;

namespace {

constexpr const char* kClass = "Query";

py::Box<QueryValue>* qbox(PyObject* self) {
    return py::box<QueryValue>(self);
}

PyObject* query_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    Ref graph;
    if (!py::bind_args("Query", args, kwargs, {{"graph"}}, &graph)) return nullptr;
    if (!py::check_instance(graph.get(), graph_type(), "graph")) return nullptr;
    GraphValue g = py::value_of<GraphValue>(graph.get());
    return py::make_object<QueryValue>(cls, std::move(g)).release();
}

// The builder return rule: the operation (if any) is appended to this query,
// then an independent copy of the query is returned.
PyObject* finish_builder(QueryValue& q, std::optional<QueryOperation> op) {
    if (op) q.operations.push(std::move(*op));
    return py::make_object<QueryValue>(query_type(), q).release();
}

bool optional_text(PyObject* obj, const char* param, std::optional<std::string>& out) {
    if (!obj || obj == Py_None) return true;
    std::string s;
    if (!py::to_utf8(obj, param, s)) return false;
    out = std::move(s);
    return true;
}

bool strings_of(PyObject* tuple, const char* param, std::vector<std::string>& out) {
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string s;
        if (!py::to_utf8(PyTuple_GET_ITEM(tuple, i), param, s)) return false;
        out.push_back(std::move(s));
    }
    return true;
}

// A variable name that must be given as a str.
bool extract_var(PyObject* obj, std::string& out) {
    if (!obj || obj == Py_None) {
        raise(QuorvelError::invalid_query("Variable name required"));
        return false;
    }
    if (!PyUnicode_Check(obj)) {
        raise(QuorvelError::invalid_query("Expected string variable name", "variable extraction"));
        return false;
    }
    return py::to_utf8(obj, "variable", out);
}

// A variable name if a str was given; anything else means none.
std::optional<std::string> extract_var_or_none(PyObject* obj) {
    std::string s;
    if (obj && PyUnicode_Check(obj) && py::to_utf8(obj, "variable", s)) return s;
    if (PyErr_Occurred()) PyErr_Clear();  // an unencodable str names nothing
    return std::nullopt;
}

// A method body run under the query's exclusive borrow.
template <class F>
PyObject* exclusive(PyObject* self, F&& body) {
    auto* b = qbox(self);
    py::ExclusiveGuard guard(b->borrow, kClass);
    if (!guard) return nullptr;
    return body(b->value);
}

// ---- simple builders -------------------------------------------------------------

PyObject* q_where(PyObject* self, PyObject* args, PyObject* kwargs) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        Ref a;
        if (!py::bind_args("where", args, kwargs, {{"condition"}}, &a)) return nullptr;
        std::string cond;
        if (!py::to_utf8(a.get(), "condition", cond)) return nullptr;
        auto compiled = compile_condition(cond);
        if (!compiled) return nullptr;
        return finish_builder(q, WhereOp{std::move(cond), std::move(compiled)});
    });
}

PyObject* q_set(PyObject* self, PyObject* args, PyObject* kwargs) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        Ref a[2];
        if (!py::bind_args("set", args, kwargs, {{"variable"}, {"properties"}}, a)) return nullptr;
        std::string var;
        if (!py::to_utf8(a[0].get(), "variable", var)) return nullptr;
        if (!py::check_dict(a[1].get(), "properties")) return nullptr;
        return finish_builder(q, SetOp{std::move(var), std::move(a[1])});
    });
}

PyObject* q_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        Ref detach, rest;
        if (!py::bind_args("delete", args, kwargs, {{"detach", false, true}}, &detach, &rest)) return nullptr;
        DeleteOp op;
        if (!strings_of(rest.get(), "variables", op.variables)) return nullptr;
        if (detach && !py::to_bool(detach.get(), "detach", op.detach)) return nullptr;
        return finish_builder(q, std::move(op));
    });
}

PyObject* q_with(PyObject* self, PyObject* args, PyObject* kwargs) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        Ref rest;
        if (!py::bind_args("with_", args, kwargs, {}, nullptr, &rest)) return nullptr;
        WithOp op;
        if (!strings_of(rest.get(), "variables", op.variables)) return nullptr;
        if (!parse_columns(op.variables, "with_", op.columns)) return nullptr;
        return finish_builder(q, std::move(op));
    });
}

PyObject* q_order_by(PyObject* self, PyObject* args, PyObject* kwargs) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        Ref a[3];
        if (!py::bind_args("order_by", args, kwargs, {{"variable"}, {"key", false}, {"ascending", false}}, a))
            return nullptr;
        OrderByOp op;
        if (!py::to_utf8(a[0].get(), "variable", op.variable)) return nullptr;
        if (!optional_text(a[1].get(), "key", op.key)) return nullptr;
        if (a[2] && !py::to_bool(a[2].get(), "ascending", op.ascending)) return nullptr;
        return finish_builder(q, std::move(op));
    });
}

template <class Op>
PyObject* count_builder(PyObject* self, PyObject* args, PyObject* kwargs, const char* name) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        Ref a;
        if (!py::bind_args(name, args, kwargs, {{"count"}}, &a)) return nullptr;
        Op op;
        if (!py::to_u64(a.get(), "count", op.count)) return nullptr;
        return finish_builder(q, op);
    });
}

// Values for the query's $name placeholders: the ones given join (and
// replace) those given before. Nothing is queued; the values are read when
// the queue runs.
PyObject* q_parameters(PyObject* self, PyObject* args, PyObject* kwargs) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        if (args && PyTuple_GET_SIZE(args) > 0) {
            PyErr_Format(PyExc_TypeError, "parameters() takes no positional arguments (%zd given)",
                         PyTuple_GET_SIZE(args));
            return nullptr;
        }
        Ref merged = Ref::steal(q.parameters ? PyDict_Copy(q.parameters.get()) : PyDict_New());
        if (!merged) return nullptr;
        if (kwargs && PyDict_Update(merged.get(), kwargs) < 0) return nullptr;
        q.parameters = std::move(merged);
        return finish_builder(q, std::nullopt);
    });
}

PyObject* q_limit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return count_builder<LimitOp>(self, args, kwargs, "limit");
}
PyObject* q_skip(PyObject* self, PyObject* args, PyObject* kwargs) {
    return count_builder<SkipOp>(self, args, kwargs, "skip");
}

// ---- match, create, merge ----------------------------------------------------------

// The arguments of the three pattern builders after the first conversion
// step; objects are borrowed from the call's own references.
struct PatternArgs {
    std::optional<std::string> pattern, node, edge;
    PyObject* start = nullptr;
    PyObject* end = nullptr;
    PyObject* type = nullptr;
    PyObject* type_schema = nullptr;
    PyObject* term = nullptr;
    PyObject* term_type_schema = nullptr;
    PyObject* properties = nullptr;
};

enum class Builder { Match, Create, Merge };

bool bind_pattern_args(Builder which, PyObject* args, PyObject* kwargs, Ref (&a)[10], PatternArgs& out) {
    bool ok = false;
    // Signature order differs between the three; the slots below follow it.
    switch (which) {
        case Builder::Match:
            ok = py::bind_args("match", args, kwargs,
                               {{"pattern", false},
                                {"node", false, true},
                                {"edge", false, true},
                                {"start", false, true},
                                {"end", false, true},
                                {"type", false, true},
                                {"type_schema", false, true},
                                {"term", false, true},
                                {"term_type_schema", false, true},
                                {"properties", false, true}},
                               a);
            if (ok) {
                out.start = a[3].get(), out.end = a[4].get(), out.type = a[5].get();
                out.type_schema = a[6].get(), out.term = a[7].get(), out.term_type_schema = a[8].get();
                out.properties = a[9].get();
            }
            break;
        case Builder::Create:
            ok = py::bind_args("create", args, kwargs,
                               {{"pattern", false},
                                {"node", false, true},
                                {"edge", false, true},
                                {"type", false, true},
                                {"term", false, true},
                                {"start", false, true},
                                {"end", false, true},
                                {"properties", false, true}},
                               a);
            if (ok) {
                out.type = a[3].get(), out.term = a[4].get(), out.start = a[5].get(), out.end = a[6].get();
                out.properties = a[7].get();
            }
            break;
        case Builder::Merge:
            ok = py::bind_args("merge", args, kwargs,
                               {{"pattern", false},
                                {"node", false, true},
                                {"edge", false, true},
                                {"type", false, true},
                                {"type_schema", false, true},
                                {"term", false, true},
                                {"term_type_schema", false, true},
                                {"start", false, true},
                                {"end", false, true},
                                {"properties", false, true}},
                               a);
            if (ok) {
                out.type = a[3].get(), out.type_schema = a[4].get(), out.term = a[5].get();
                out.term_type_schema = a[6].get(), out.start = a[7].get(), out.end = a[8].get();
                out.properties = a[9].get();
            }
            break;
    }
    if (!ok) return false;
    if (!optional_text(a[0].get(), "pattern", out.pattern)) return false;
    if (!optional_text(a[1].get(), "node", out.node)) return false;
    if (!optional_text(a[2].get(), "edge", out.edge)) return false;
    if (out.properties == Py_None) out.properties = nullptr;
    if (out.properties && !py::check_dict(out.properties, "properties")) return false;
    return true;
}

// A merge pattern string must be one node whose type part is a concrete
// type; it then merges like a typed node merge.
bool single_typed_node(PathPatternValue path, NodePatternValue& out) {
    if (path.nodes.size() == 1 && path.edges.empty() && path.nodes[0].type_schema) {
        NodePatternValue& node = path.nodes[0];
        node.type_obj = node.type_schema->concrete_type();
        node.type_schema.reset();
        if (node.type_obj) {
            out = std::move(node);
            return true;
        }
    }
    raise(QuorvelError::invalid_query("merge takes a single node pattern", "merge"));
    return false;
}

PyObject* pattern_builder(PyObject* self, PyObject* args, PyObject* kwargs, Builder which) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        Ref a[10];
        PatternArgs p;
        if (!bind_pattern_args(which, args, kwargs, a, p)) return nullptr;
        std::optional<QueryOperation> op;
        // merge reads its node and edge forms first: its pattern string is
        // only a shorthand for a call that gives neither.
        const bool pattern_form = p.pattern && (which != Builder::Merge || (!p.node && !p.edge));
        if (pattern_form) {
            PathPatternValue path;
            if (!parse_path_pattern(*p.pattern, path, true)) return nullptr;
            if (which != Builder::Match)
                for (const EdgePatternValue& e : path.edges)
                    if (e.hops) {
                        raise(QuorvelError::invalid_query("a variable-length edge can only be matched",
                                                          which == Builder::Create ? "create" : "merge"));
                        return nullptr;
                    }
            if (which == Builder::Match) {
                op = MatchOperation{MatchOp{std::move(path)}};
            } else if (which == Builder::Create) {
                op = CreateOperation{CreateOp{std::move(path)}};
            } else {
                NodePatternValue node;
                if (!single_typed_node(std::move(path), node)) return nullptr;
                op = MergeOperation{MergeOp{std::move(node)}};
            }
        } else if (p.node) {
            NodePatternValue node;
            if (!new_node_pattern(p.node, p.type, p.type_schema, p.properties, node)) return nullptr;
            if (which == Builder::Match)
                op = MatchOperation{MatchOp{std::move(node)}};
            else if (which == Builder::Create)
                op = CreateOperation{CreateOp{std::move(node)}};
            else
                op = MergeOperation{MergeOp{std::move(node)}};
        } else if (p.edge) {
            EdgePatternValue edge;
            if (!new_edge_pattern(p.edge, p.term, p.term_type_schema, p.properties, "forward", edge))
                return nullptr;
            if (which == Builder::Match) {
                op = MatchOperation{MatchOp{
                    MatchEdge{std::move(edge), extract_var_or_none(p.start), extract_var_or_none(p.end)}}};
            } else {
                CreateEdge e{std::move(edge), {}, {}};
                if (!extract_var(p.start, e.start) || !extract_var(p.end, e.end)) return nullptr;
                if (which == Builder::Create)
                    op = CreateOperation{CreateOp{std::move(e)}};
                else
                    op = MergeOperation{MergeOp{std::move(e)}};
            }
        }
        return finish_builder(q, std::move(op));
    });
}

PyObject* q_match(PyObject* self, PyObject* args, PyObject* kwargs) {
    return pattern_builder(self, args, kwargs, Builder::Match);
}
PyObject* q_create(PyObject* self, PyObject* args, PyObject* kwargs) {
    return pattern_builder(self, args, kwargs, Builder::Create);
}
PyObject* q_merge(PyObject* self, PyObject* args, PyObject* kwargs) {
    return pattern_builder(self, args, kwargs, Builder::Merge);
}

// ---- results ---------------------------------------------------------------------

PyObject* returning(PyObject* self, PyObject* args, PyObject* kwargs, const char* name, bool distinct) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        Ref rest;
        if (!py::bind_args(name, args, kwargs, {}, nullptr, &rest)) return nullptr;
        std::vector<std::string> vars;
        if (!strings_of(rest.get(), "variables", vars)) return nullptr;
        ParsedColumns columns;
        if (!parse_columns(vars, name, columns)) return nullptr;
        if (!execute_operations(q, ResultKind::Rows, nullptr, &columns, distinct)) return nullptr;
        if (!columns.legacy && !bound_names_read(columns, q.vars()).legacy)
            return column_rows(q, columns, distinct).release();
        return form_rows(q, vars, distinct).release();
    });
}

PyObject* q_return(PyObject* self, PyObject* args, PyObject* kwargs) {
    return returning(self, args, kwargs, "return_", false);
}

// As return_, without rows repeating an earlier one.
PyObject* q_return_distinct(PyObject* self, PyObject* args, PyObject* kwargs) {
    return returning(self, args, kwargs, "return_distinct", true);
}

PyObject* q_return_count(PyObject* self, PyObject*) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        std::size_t rows = 0;
        if (!execute_operations(q, ResultKind::Count, &rows)) return nullptr;
        return PyLong_FromSize_t(rows);
    });
}

PyObject* q_execute(PyObject* self, PyObject*) {
    return exclusive(self, [&](QueryValue& q) -> PyObject* {
        if (!execute_operations(q, ResultKind::Copy)) return nullptr;
        return finish_builder(q, std::nullopt);
    });
}

#define QV_KW(f) py::keyword_method(QV_ENTRY(f)), METH_VARARGS | METH_KEYWORDS

PyMethodDef query_methods[] = {
    {"match", QV_KW(q_match),
     "match($self, pattern=None, *, node=None, edge=None, start=None, end=None, type=..., type_schema=None, "
     "term=None, term_type_schema=None, properties=None)\n--\n\n"
     "Match nodes, edges, or paths in the graph.\n\n"
     "This is the primary method for pattern matching, supporting pattern strings\n"
     "and explicit node and edge specifications.\n\n"
     "Args:\n"
     "    pattern: A Cypher-like pattern string, e.g. \"(n:Person)-[e:knows]->(m)\"\n"
     "    node: Optional variable name for a node match\n"
     "    edge: Optional variable name for an edge match\n"
     "    start: Optional start node (variable name) for edge matching\n"
     "    end: Optional end node (variable name) for edge matching\n"
     "    type: Optional specific type for nodes\n"
     "    type_schema: Optional type schema for nodes\n"
     "    term: Optional specific term for edges\n"
     "    term_type_schema: Optional type schema for edge terms\n"
     "    properties: Optional dictionary of required properties\n\n"
     "Returns:\n"
     "    A new Query holding this query's operations (the operation is also\n"
     "    appended to this query), for method chaining\n\n"
     "Examples:\n"
     "    >>> q.match(\"(n:Person)-[e:knows]->(m)\")\n"
     "    >>> q.match(node=\"n\", type=person, properties={\"name\": \"Alice\"})\n"
     "    >>> q.match(edge=\"e\", term_type_schema=\"$Person -> Person$\", start=\"a\", end=\"b\")"},
    {"where", QV_KW(q_where),
     "where($self, condition)\n--\n\n"
     "Add a WHERE clause to filter results.\n\n"
     "The condition is parsed now and evaluated for each row when the query\n"
     "runs; rows for which it is true are kept. Example:\n"
     "    >>> q.match(node=\"n\").where(\"n.age >= 18 AND n.name STARTS WITH 'A'\")"},
    {"return_", QV_KW(q_return),
     "return_($self, *variables)\n--\n\n"
     "Execute all operations and return the matched variables.\n\n"
     "Returns:\n"
     "    A list of dictionaries mapping variable names to values (Node or Edge),\n"
     "    one dictionary per row; row i holds the i-th value of each variable."},
    {"return_count", QV_ENTRY(q_return_count), METH_NOARGS, "return_count($self)\n--\n\n"},
    {"return_distinct", QV_KW(q_return_distinct), "return_distinct($self, *variables)\n--\n\n"},
    {"create", QV_KW(q_create),
     "create($self, pattern=None, *, node=None, edge=None, type=..., term=None, start=None, end=None, "
     "properties=None)\n--\n\n"},
    {"set", QV_KW(q_set), "set($self, variable, properties)\n--\n\n"},
    {"delete", QV_KW(q_delete), "delete($self, *variables, detach=False)\n--\n\n"},
    {"merge", QV_KW(q_merge),
     "merge($self, pattern=None, *, node=None, edge=None, type=..., type_schema=None, term=None, "
     "term_type_schema=None, start=None, end=None, properties=None)\n--\n\n"},
    {"with_", QV_KW(q_with),
     "with_($self, *variables)\n--\n\n"
     "Keeps the named variables only; with expressions or aggregates\n"
     "(\"count(e) AS degree\", \"lower(n.name) AS name\"), the bindings become\n"
     "those columns, rows grouped by the columns that do not aggregate."},
    {"order_by", QV_KW(q_order_by),
     "order_by($self, variable, key=None, ascending=True)\n--\n\n"
     "Sorts the rows by property `key` of `variable`, or without a key by the\n"
     "variable's own values (a column made by with_, such as a count)."},
    {"limit", QV_KW(q_limit), "limit($self, count)\n--\n\n"},
    {"skip", QV_KW(q_skip), "skip($self, count)\n--\n\n"},
    {"execute", QV_ENTRY(q_execute), METH_NOARGS, "execute($self)\n--\n\n"},
    {"parameters", QV_KW(q_parameters),
     "parameters($self, /, **values)\n--\n\n"
     "Values for the $name placeholders of conditions and pattern property maps.\n\n"
     "Each value is used as the object it is (compared with ==), never turned\n"
     "into text. Values given here join and replace those given before.\n\n"
     "Returns:\n"
     "    A new Query holding this query's operations and parameters\n\n"
     "Example:\n"
     "    >>> q.match(\"(n:Person {name: $who})\").where(\"n.age > $age\").parameters(who=\"Ann\", age=30)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot query_slots[] = {
    {Py_tp_doc, const_cast<char*>("Query(graph)\n--\n\n"
                                  "A query builder for the graph, with a fluent interface for matching,\n"
                                  "creating, updating and deleting.\n\n"
                                  "Builder methods (match, where, create, merge, set, delete, with_,\n"
                                  "order_by, limit, skip) append an operation and return a new Query;\n"
                                  "result methods (return_, return_distinct, return_count, execute) run\n"
                                  "the whole queue against the graph.\n\n"
                                  "Fields (internal):\n"
                                  "    operations: The queued operations\n"
                                  "    graph: The graph's node and edge dictionaries\n"
                                  "    matched_vars: The variable bindings left by runs")},
    {Py_tp_new, reinterpret_cast<void*>(QV_ENTRY(query_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc<QueryValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(py::traverse<QueryValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear<QueryValue>)},
    {Py_tp_methods, query_methods},
    {0, nullptr},
};

PyType_Spec query_spec = {"quorvel.Query", sizeof(py::Box<QueryValue>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, query_slots};

}  // namespace

PyTypeObject* query_type() {
    static PyTypeObject* t = py::create_type(&query_spec);
    return t;
}

Ref new_query(const GraphValue& graph) {
    return py::make_object<QueryValue>(query_type(), graph);
}

}  // namespace quorvel
