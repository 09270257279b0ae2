"""Aggregation in result columns, and $parameters.

Aggregates are checked against grouping done by hand over random rows whose
values are missing, None, numbers that are equal across types (1, 1.0, True),
NaN, strings and lists. Parameters are checked as values: whatever text they
hold, and whatever objects they are, they are compared with ==."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel import Application, Edge, Graph, Node, Term, Variable

A, B = Variable("A"), Variable("B")
NAN = float("nan")
MISSING = NULL = object()  # a property that is not there; a null value
VALUES = [MISSING, None, 0, 1, 1.0, True, 2.5, -3, NAN, "a", "b", [1], [1.0]]


# ---- the oracle -------------------------------------------------------------------------------------


def same_cell(a, b):
    """Two non-null row values are one key: graph elements by kind and uid, other values by == (not by
    identity: NaN is never equal to itself)."""
    if isinstance(a, (Node, Edge)) or isinstance(b, (Node, Edge)):
        return type(a) is type(b) and a.uid() == b.uid()
    return bool(a == b)


def same_key(a, b):
    return all(x is y is NULL or (x is not NULL and y is not NULL and same_cell(x, y)) for x, y in zip(a, b))


def distinct(values):
    out = []
    for v in values:
        if not any(same_cell(v, w) for w in out):
            out.append(v)
    return out


def order_key(v):
    return 0 if isinstance(v, (int, float)) else 1 if isinstance(v, str) else 2


def before(a, b):
    """a sorts before b: numbers, then strings, then the rest, each by <; no order where < refuses."""
    if order_key(a) != order_key(b):
        return order_key(a) < order_key(b)
    try:
        return bool(a < b)
    except TypeError:
        return False


def aggregate(name, values, rows):
    """The aggregate `name` of a group's non-null values (`rows`: how many rows the group has)."""
    if name == "count(*)":
        return rows
    if name == "count":
        return len(values)
    if name == "collect":
        return list(values)
    if name in ("sum", "avg"):
        if not values:
            return 0 if name == "sum" else None
        total = values[0]
        for v in values[1:]:
            total = total + v
        return total if name == "sum" else total / len(values)
    best = None
    for v in values:
        if best is None or before(v, best) if name == "min" else best is None or before(best, v):
            best = v
    return best


# What a column reads from the row's node n: (column text, its value in one row).
def prop(node, key):
    v = node.properties.get(key)
    return NULL if v is None else v


def legacy(node, key):
    return node.properties.get(key, NULL)  # a plain "n.key" shows a None that is there


GROUPS = {
    "n": lambda n: n,
    "n.g": lambda n: legacy(n, "g"),
    "n.g AS k": lambda n: prop(n, "g"),
    "type(n) AS t": lambda n: str(n.type),
    "coalesce(n.g, 'none') AS c": lambda n: "none" if prop(n, "g") is NULL else prop(n, "g"),
}
ARGUMENTS = {"n.x": lambda n: prop(n, "x"), "n": lambda n: n}
AGGREGATES = ["count", "collect", "sum", "min", "max", "avg"]


@st.composite
def aggregate_columns(draw):
    """(column text, key of the row dict, how to compute it) for one aggregate column."""
    name = draw(st.sampled_from(AGGREGATES + ["count(*)"]))
    alias = draw(st.sampled_from([None, "agg", "Total Count"]))
    if name == "count(*)":
        text, read, unique = "count(*)", None, False
    else:
        arg = draw(st.sampled_from(sorted(ARGUMENTS) if name in ("count", "collect") else ["n.x"]))
        unique = draw(st.booleans())
        text, read = f"{name}({'DISTINCT ' if unique else ''}{arg})", ARGUMENTS[arg]
    key = alias or text
    if alias:
        text += f' AS "{alias}"' if " " in alias else f" AS {alias}"
    return text, key, (name, read, unique)


def expected_rows(nodes, groups, aggs):
    keys, members = [], []
    for n in nodes:
        key = tuple(GROUPS[g](n) for g in groups)
        for i, k in enumerate(keys):
            if same_key(k, key):
                members[i].append(n)
                break
        else:
            keys.append(key)
            members.append([n])
    if not keys and not groups:
        keys, members = [()], [[]]
    rows = []
    for key, group in zip(keys, members):
        row = {}
        for g, v in zip(groups, key):
            if v is not NULL:
                row[g.split(" AS ")[-1]] = v
        for text, name_key, (name, read, unique) in aggs:
            values = [] if read is None else [v for v in map(read, group) if v is not NULL]
            value = aggregate(name, distinct(values) if unique else values, len(group))
            if value is not None:
                row[name_key] = value
        if row:
            rows.append(row)
    return rows


def canonical(v):
    if isinstance(v, (Node, Edge)):
        return (type(v).__name__, v.uid(), id(v.properties))
    if isinstance(v, list):
        return ["list"] + [canonical(x) for x in v]
    if isinstance(v, float) and math.isnan(v):
        return ("nan",)
    return (type(v).__name__, v)


VALUE = st.sampled_from(VALUES)


@settings(max_examples=300, deadline=None)
@given(data=st.data(), props=st.lists(st.tuples(VALUE, VALUE), max_size=8))
def test_aggregates_agree_with_grouping_by_hand(data, props):
    g = Graph()
    for i, (group, x) in enumerate(props):
        node = Node(Variable(f"T{i % 5}") if i < 5 else Application(A, Variable(f"T{i}")),
                    {k: v for k, v in (("g", group), ("x", x)) if v is not MISSING})
        g.nodes[node.uid()] = node
    groups = data.draw(st.lists(st.sampled_from(sorted(GROUPS)), max_size=2, unique=True))
    aggs = data.draw(st.lists(aggregate_columns(), min_size=1, max_size=3, unique_by=lambda c: c[1]))
    columns = groups + [text for text, _, _ in aggs]
    q = g.query().match(node="n")
    try:
        expected = expected_rows(list(g.nodes.values()), groups, aggs)
    except TypeError:  # sum or avg of values that do not add up
        with pytest.raises(TypeError):
            q.return_(*columns)
        return
    assert [{k: canonical(v) for k, v in r.items()} for r in q.return_(*columns)] == \
        [{k: canonical(v) for k, v in r.items()} for r in expected]
    # with_ makes those rows the bindings (named as aliases: test_a_column_bound_... below); return_distinct
    # drops repeated rows
    named = [(text if " AS " in text else f"{text} AS a{i}", key if " AS " in text else f"a{i}")
             for i, (text, key, _) in enumerate(aggs)]
    keys = [c.split(" AS ")[-1] for c in groups] + [key for _, key in named]
    again = g.query().match(node="n").with_(*groups, *(text for text, _ in named)).return_distinct(*keys)
    unique = []
    for r in expected:
        r = {dict(zip([key for _, key, _ in aggs], [k for _, k in named])).get(k, k): v for k, v in r.items()}
        if not any(r.keys() == u.keys() and all(same_cell(r[k], u[k]) for k in r) for u in unique):
            unique.append(r)
    assert [{k: canonical(v) for k, v in r.items()} for r in again] == \
        [{k: canonical(v) for k, v in r.items()} for r in unique]
    # order_by without a key sorts by a column of counts: a stable sort, nulls never among them
    counts = [k for (_, k), (_, _, (name, _, _)) in zip(named, aggs) if name.startswith("count")]
    if counts:
        ascending = data.draw(st.booleans())
        ordered = g.query().match(node="n").with_(*groups, *(text for text, _ in named)).order_by(
            counts[0], ascending=ascending)
        rows = [{dict(zip([key for _, key, _ in aggs], [k for _, k in named])).get(k, k): v for k, v in r.items()}
                for r in expected]
        rows.sort(key=lambda r: r[counts[0]], reverse=not ascending)
        assert [{k: canonical(v) for k, v in r.items()} for r in ordered.return_(*keys)] == \
            [{k: canonical(v) for k, v in r.items()} for r in rows]


def test_a_column_bound_by_with_is_read_back_by_its_name():
    g = Graph()
    n = Node(A, {"x": 2})
    g.nodes[n.uid()] = n
    q = g.query().match(node="n").with_("count(n)", "collect(n.x)")
    assert q.return_("count(n)", "collect(n.x)") == [{"count(n)": 1, "collect(n.x)": [2]}]


@pytest.mark.parametrize("columns, expected", [
    (["count(*)"], [{"count(*)": 0}]),
    (["count(n) AS c", "collect(n.x)", "sum(n.x)"], [{"c": 0, "collect(n.x)": [], "sum(n.x)": 0}]),
    (["avg(n.x)", "min(n.x)", "max(n)"], []),  # nothing to show: the row is dropped
    (["n.g", "count(*)"], []),  # no rows, no groups
])
def test_aggregates_over_no_rows(columns, expected):
    assert Graph().query().match(node="n").return_(*columns) == expected


def test_order_by_without_a_key_needs_values():
    g = Graph()
    n = Node(A)
    g.nodes[n.uid()] = n
    with pytest.raises(ValueError, match=r"^Invalid query: order_by without a key needs values, not the node or edge "
                                         r"'n' \(order_by\)$"):
        g.query().match(node="n").order_by("n").return_("n")


def test_grouping_keys_that_are_edges_and_nodes():
    g = Graph()
    a, b = Node(A), Node(B)
    for node in (a, b):
        g.nodes[node.uid()] = node
    for name, s, t in (("f", a, b), ("g", a, a), ("h", b, a)):
        e = Edge(Term(name, Application(s.type, t.type)), s, t, {"w": len(name)})
        g.edges[e.uid()] = e
    rows = g.query().match("(x)-[e]->(y)").return_("x", "count(*) AS out", "collect(term(e)) AS terms")
    assert [(str(r["x"]), r["out"], r["terms"]) for r in rows] == [("Node(A)", 2, ["f", "g"]), ("Node(B)", 1, ["h"])]
    rows = g.query().match("(x)-[e]-(y)").return_("e", "count(DISTINCT y) AS ends", "count(y)")
    assert [(r["e"].term.name, r["ends"], r["count(y)"]) for r in rows] == [("f", 2, 2), ("g", 1, 1), ("h", 2, 2)]


# ---- parameters ---------------------------------------------------------------------------------------


class Tagged:
    """Equal to another Tagged of the same tag, whichever side asks."""

    def __init__(self, tag):
        self.tag = tag

    def __eq__(self, other):
        return isinstance(other, Tagged) and other.tag == self.tag

    __hash__ = None


TRICKY = ["' OR true OR '", "\" OR 1=1 --", "{p: 1}", "$v", "n.p", ")", "x' OR n.p IS NOT NULL OR 'x", "",
          (1, 2), [1, 2], Tagged(1), Tagged(2), 1, 1.0, None, NAN, "1"]


@settings(max_examples=150, deadline=None)
@given(stored=st.lists(st.sampled_from(TRICKY), min_size=1, max_size=5), value=st.sampled_from(TRICKY),
       form=st.sampled_from(["where =", "where <>", "where IN", "pattern map"]))
def test_parameters_are_values_not_text(stored, value, form):
    g = Graph()
    nodes = [Node(Variable(f"T{i}"), {"p": v}) for i, v in enumerate(stored)]
    for n in nodes:
        g.nodes[n.uid()] = n
    q = {"where =": lambda: g.query().match(node="n").where("n.p = $v"),
         "where <>": lambda: g.query().match(node="n").where("n.p <> $v"),
         "where IN": lambda: g.query().match(node="n").where("n.p IN $v"),
         "pattern map": lambda: g.query().match("(n {p: $v})")}[form]()
    param = [value, "other"] if form == "where IN" else value
    null = value is None

    def keeps(p):
        if form == "pattern map":
            return bool(value == p)
        if p is None or (null and form != "where IN"):
            return False
        if form == "where IN":
            return any(x is not None and bool(p == x) for x in param)
        return bool(p == value) == (form == "where =")

    rows = q.parameters(v=param).return_("n")
    assert [r["n"].uid() for r in rows] == [n.uid() for n in nodes if keeps(n.properties["p"])]


@pytest.mark.parametrize("value", ["' OR true OR '", "{p: 1}", (1, 2), Tagged(3), NAN])
@pytest.mark.parametrize("builder", ["create", "merge"])
def test_parameters_are_stored_as_the_objects_given(builder, value):
    g = Graph()
    q = getattr(g.query(), builder)("(n:A {p: $v})").parameters(v=value)
    q.execute()
    assert g.nodes[Node(A).uid()].properties["p"] is value
    q.execute()  # a merge finds it again unless it is not equal to itself
    assert len(g.nodes) == 1


@pytest.mark.parametrize("build, context", [
    (lambda q: q.match(node="n").where("n.p = $missing"), "where"),
    (lambda q: q.match(node="n").where("n.p IN $missing"), "where"),
    (lambda q: q.match("(n {p: $missing})"), "match"),
    (lambda q: q.match("(a)-[e {w: $missing}]->(b)"), "match"),
    (lambda q: q.merge("(n:A {p: $missing})"), "merge"),
    (lambda q: q.create("(n:A {p: $missing})"), "create"),
    (lambda q: q.match(node="n").where("n.p = $missing").limit(1), "where"),
])
def test_a_missing_parameter_is_a_name_error(build, context):
    g = Graph()
    n = Node(B, {"p": 1})
    g.nodes[n.uid()] = n
    q = build(g.query()).parameters(other=1)
    with pytest.raises(NameError, match=rf"^Parameter 'missing' has no value \({context}\)$"):
        q.return_count()
    assert list(g.nodes) == [n.uid()]
    assert build(g.query()).parameters(missing=[1]).return_count() >= 0


def test_parameters_join_and_replace_earlier_ones():
    g = Graph()
    for t, p in ((A, 1), (B, 2)):
        n = Node(t, {"p": p, "q": 3})
        g.nodes[n.uid()] = n

    def query():
        return g.query().match(node="n").where("n.p = $p AND n.q = $q")

    assert [str(r["n"]) for r in query().parameters(p=1, q=3).return_("n")] == ["Node(A)"]
    assert [str(r["n"]) for r in query().parameters(p=1, q=3).parameters(p=2).return_("n")] == ["Node(B)"]
    assert [str(r["n"]) for r in query().parameters(p=2).parameters(q=3).return_("n")] == ["Node(B)"]


# ---- variables nothing reads --------------------------------------------------------------------------


@pytest.mark.parametrize("rest", [
    lambda q: q.with_("a", "count(e) AS d").return_("a", "d"),
    lambda q: q.with_("a", "count(*) AS d").order_by("d").return_("a", "d"),
    lambda q: q.with_("a").return_("a"),
    lambda q: q.with_("count(*) AS c").return_("c"),
    lambda q: q.match("(b:B)").return_("a", "b", "e"),
    lambda q: q.create(node="x", type=B).with_("a", "count(x) AS c").return_("a", "c"),
    lambda q: q.limit(3).with_("a.name", "count(b) AS c").return_("a.name", "c"),
])
def test_variables_dropped_unread_leave_the_same_rows(rest):
    # A match need not keep the values of a variable that a later with_ or
    # match drops before anything reads it: the same queue with a where that
    # reads every variable first must give the same rows and the same graph.
    def graph():
        g = Graph()
        nodes = [Node(t, {"name": f"n{i}"}) for i, t in enumerate([A, B, Variable("C")])]
        for n in nodes:
            g.nodes[n.uid()] = n
        for i, (s, t) in enumerate([(0, 1), (0, 2), (1, 1), (2, 0), (0, 1)]):
            e = Edge(Term(f"f{i}", Application(nodes[s].type, nodes[t].type)), nodes[s], nodes[t])
            g.edges[e.uid()] = e
        return g

    def shown(rows):
        return [{k: v.uid() if isinstance(v, (Node, Edge)) else v for k, v in r.items()} for r in rows]

    g1, g2 = graph(), graph()
    dropped = rest(g1.query().match("(a)-[e]->(b)"))
    read = rest(g2.query().match("(a)-[e]->(b)").where("a IS NULL OR e IS NULL OR b IS NULL OR true"))
    assert shown(dropped) == shown(read)
    assert list(g1.nodes) == list(g2.nodes)


@pytest.mark.parametrize("first, then", [
    (lambda q: q.return_count(), lambda q: q.return_("a", "v")),
    (lambda q: q.where("a.name = $p").with_("a").return_count(),  # stops: $p has no value
     lambda q: q.where("a.name = $p").with_("a").parameters(p="a1").return_("a")),
])
def test_a_run_leaves_as_many_rows_for_the_next_one_as_values_would(first, then):
    # A run that only counts a match leaves the count where the values would
    # be: a descending sort before that match, in the next run, puts the holes
    # of its shorter column first either way.
    def graph():
        g = Graph()
        for i in range(3):
            g.nodes[f"a{i}"] = Node(A, {"name": f"a{i}"})
        for i in range(5):
            g.nodes[f"b{i}"] = Node(B, {"i": i})
        return g

    def outcome(read_v):
        q = graph().query().match(node="a", type=A).order_by("a", "name", ascending=False).match(node="v", type=B)
        if read_v:
            q = q.where("v IS NULL OR true")
        try:
            first(q)
        except NameError:
            pass
        return [{k: v.properties for k, v in r.items()} for r in then(q)]

    assert outcome(False) == outcome(True)
