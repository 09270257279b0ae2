import gc
import inspect
import re

import pytest

from quorvel import Application, Edge, Graph, Node, Query, Term, TypeSchema, Variable

A, B, C, Z = Variable("A"), Variable("B"), Variable("C"), Variable("Z")


def put(g, node):
    g.nodes[node.uid()] = node
    return node


def link(g, name, start, end):
    e = Edge(Term(name, Application(start.type, end.type)), start, end)
    g.edges[e.uid()] = e


def col(rows, name):
    """The printed values of one variable, row by row (node types, edge term names)."""
    out = []
    for r in rows:
        if name in r:
            v = r[name]
            out.append(v.term.name if isinstance(v, Edge) else str(v.type))
    return out


@pytest.fixture
def g3():
    g = Graph()
    put(g, Node(A, {"age": 25.0}))
    put(g, Node(B, {"age": 30}))
    put(g, Node(C))
    return g


@pytest.fixture
def path_graph():
    # a -f-> b -g-> c and a -h-> c, inserted in that order
    g = Graph()
    a, b, c = put(g, Node(A)), put(g, Node(B)), put(g, Node(C))
    link(g, "f", a, b)
    link(g, "g", b, c)
    link(g, "h", a, c)
    return g


# ---- builders -------------------------------------------------------------------

SIGNATURES = {  # in registration order
    "match": "($self, pattern=None, *, node=None, edge=None, start=None, end=None, type=..., "
    "type_schema=None, term=None, term_type_schema=None, properties=None)",
    "where": "($self, condition)",
    "return_": "($self, *variables)",
    "return_count": "($self)",
    "return_distinct": "($self, *variables)",
    "create": "($self, pattern=None, *, node=None, edge=None, type=..., term=None, start=None, "
    "end=None, properties=None)",
    "set": "($self, variable, properties)",
    "delete": "($self, *variables, detach=False)",
    "merge": "($self, pattern=None, *, node=None, edge=None, type=..., type_schema=None, term=None, "
    "term_type_schema=None, start=None, end=None, properties=None)",
    "with_": "($self, *variables)",
    "order_by": "($self, variable, key=None, ascending=True)",
    "limit": "($self, count)",
    "skip": "($self, count)",
    "execute": "($self)",
    "parameters": "($self, /, **values)",
}


def test_text_signatures():
    assert Query.__text_signature__ == "(graph)"
    assert [k for k in vars(Query) if not k.startswith("__")] == list(SIGNATURES)
    for name, sig in SIGNATURES.items():
        assert getattr(Query, name).__text_signature__ == sig, name
    q = Graph().query()
    assert str(inspect.signature(q.delete)) == "(*variables, detach=False)"
    kinds = {n: p.kind for n, p in inspect.signature(q.merge).parameters.items()}
    assert kinds.pop("pattern") is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert set(kinds.values()) == {inspect.Parameter.KEYWORD_ONLY}


@pytest.mark.parametrize(
    "call, exc, arg",
    [
        (lambda q: Query(q), TypeError, "graph"),
        (lambda q: q.where(5), TypeError, "condition"),
        (lambda q: q.set(5, {}), TypeError, "variable"),
        (lambda q: q.set("n", [("a", 1)]), TypeError, "properties"),
        (lambda q: q.delete("n", True), TypeError, "variables"),  # detach is keyword-only
        (lambda q: q.delete("n", detach=1), TypeError, "detach"),
        (lambda q: q.with_("n", b"m"), TypeError, "variables"),
        (lambda q: q.order_by("n", 5), TypeError, "key"),
        (lambda q: q.order_by("n", "age", 0), TypeError, "ascending"),
        (lambda q: q.skip("5"), TypeError, "count"),
        (lambda q: q.limit(-1), (OverflowError, ValueError), "count"),
        (lambda q: q.skip(2**64), (OverflowError, ValueError), "count"),
        (lambda q: q.return_("n", 1), TypeError, "variables"),
        (lambda q: q.match(5), TypeError, "pattern"),
        (lambda q: q.merge(pattern=5), TypeError, "pattern"),
        (lambda q: q.create(node=b"p"), TypeError, "node"),
        (lambda q: q.create(node="p", type_schema="$A$"), TypeError, "type_schema"),
        (lambda q: q.match("(n)", properties=5), TypeError, "properties"),
        # arguments are converted before the form is chosen and the pattern parsed
        (lambda q: q.match("(a)-[e]->", node=5), TypeError, "node"),
        (lambda q: q.match(node="n", edge=5), TypeError, "edge"),
        (lambda q: q.create(node="p", type=5, properties=[1]), TypeError, "properties"),
    ],
)
def test_refusals_name_the_argument(call, exc, arg):
    with pytest.raises(exc, match=f"'{arg}'"):
        call(Graph().query())


@pytest.mark.parametrize(
    "call",
    [
        lambda q: q.where(condition="a.age > 25"),
        lambda q: q.delete(),
        lambda q: q.delete("n", "m", detach=True),
        lambda q: q.order_by(variable="n", key="age", ascending=False),
        lambda q: q.limit(0),
        lambda q: q.skip(count=2**64 - 1),
        lambda q: q.merge(),
        lambda q: q.match(edge="e", start=Node(A), end=5),  # non-str ends name nothing
    ],
)
def test_accepted_builders_return_a_new_query(call):
    q = Query(graph=Graph())
    r = call(q)
    assert isinstance(r, Query) and r is not q


def test_builder_appends_to_receiver_and_returns_independent_copy():
    g = Graph()
    q = g.query()
    copy = q.create(node="a", type=A)  # both hold this create
    q.create(node="b", type=B)  # only q
    copy.create(node="c", type=C)  # only the copy
    copy.return_count()
    assert sorted(map(str, g.nodes.values())) == ["Node(A)", "Node(C)"]
    g.nodes.clear()
    q.return_count()
    assert sorted(map(str, g.nodes.values())) == ["Node(A)", "Node(B)"]


def test_builder_and_execute_copy_bindings():
    g = Graph()
    q = g.query().merge(node="n", type=A)  # each run appends the found node
    assert len(q.return_("n")) == 1
    copy = q.match()  # queues nothing, copies the one-node binding
    assert [len(copy.return_("n")) for _ in range(2)] == [2, 3]
    assert len(q.return_("n")) == 2
    stored = g.nodes[Node(A).uid()]
    assert all(r["n"].properties is stored.properties for r in copy.return_("n"))
    e = q.execute()  # runs (3) and copies
    assert isinstance(e, Query) and e is not q
    assert [e.return_count(), e.return_count(), q.return_count()] == [4, 5, 4]


def reachable(obj, depth=4):
    """Objects the collector can reach from obj within a few steps."""
    seen, frontier = [], [obj]
    for _ in range(depth):
        frontier = [r for o in frontier for r in gc.get_referents(o) if not isinstance(r, type)]
        seen.extend(frontier)
    return seen


@pytest.mark.parametrize("builder", ["create", "merge"])
@pytest.mark.parametrize(
    "ends, message",
    [
        ({}, "Invalid query: Variable name required"),
        ({"start": "a"}, "Invalid query: Variable name required"),
        ({"start": None, "end": "b"}, "Invalid query: Variable name required"),
        ({"start": "a", "end": 5}, "Invalid query: Expected string variable name (variable extraction)"),
        ({"start": Node(A), "end": "b"}, "Invalid query: Expected string variable name (variable extraction)"),
    ],
)
def test_edge_form_requires_string_end_names(builder, ends, message):
    sentinel = object()
    q = Graph().query()
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        getattr(q, builder)(edge="e", properties={"k": sentinel}, **ends)
    assert sentinel not in reachable(q)  # nothing was queued
    getattr(q, builder)(edge="e", properties={"k": sentinel}, start="a", end="b")
    assert sentinel in reachable(q)
    with pytest.raises(TypeError):  # the term is checked before the end names
        getattr(q, builder)(edge="e", term=5)


@pytest.mark.parametrize("builder", ["match", "create"])
@pytest.mark.parametrize(
    "pattern, message",
    [
        ("", "Invalid pattern '': Pattern cannot be empty"),
        ("   ", "Invalid pattern '': Pattern cannot be empty"),
        ("(a)-[e]->", "Invalid pattern '(a)-[e]->': Pattern cannot end with an edge"),
        ("(a)<-[e]->(b)", "Invalid pattern '<-[e]->': Cannot have both <- and -> in same edge"),
    ],
)
def test_parse_errors_at_the_call(builder, pattern, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        getattr(Graph().query(), builder)(pattern)


@pytest.mark.parametrize("kwargs", [{"type": A, "properties": {1: "x"}}, {"type": 5}])
@pytest.mark.parametrize("builder", ["match", "create", "merge"])
def test_node_form_construction_errors_queue_nothing(g3, builder, kwargs):
    q = g3.query().match(node="p", type=B)
    with pytest.raises(TypeError):
        getattr(q, builder)(node="p", **kwargs)
    assert col(q.return_("p"), "p") == ["B"] and len(g3.nodes) == 3


# ---- match ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {"node": "n", "type": A}, ["A"]),
        ((), {"node": "n"}, ["A", "B", "C"]),
        ((), {"node": "n", "type_schema": 5}, ["A", "B", "C"]),  # an unusable schema is ignored
        ((), {"node": "n", "type_schema": "$B$"}, ["B"]),
        ((), {"node": "n", "type_schema": TypeSchema("$C$")}, ["C"]),
        ((), {"node": "n", "type": A, "type_schema": "$B$"}, []),
        ((), {"node": "n", "properties": {"age": 25}}, ["A"]),
        ((), {"node": "n", "properties": {"age": 99}}, []),
        ((), {"node": "n", "edge": "e", "type": B}, ["B"]),  # the node form wins
        (("(n:C)",), {}, ["C"]),
        (("(n)",), {"node": "m", "edge": "e", "type": A}, ["A", "B", "C"]),  # the pattern wins
    ],
)
def test_node_match(g3, args, kwargs, expected):
    rows = g3.query().match(*args, **kwargs).return_("n", "m", "e")
    assert col(rows, "n") == expected and all(set(r) == {"n"} for r in rows)


def test_typed_match_reads_stored_types_at_run_time():
    g = Graph()
    q = Query(g).match(node="n", type=A)
    g.nodes["k1"] = Node(A, {"i": 1})  # keys need not be uids
    g.nodes["k2"] = Node(A, {"i": 2})
    g.nodes["k3"] = Node(B)
    assert [r["n"].properties["i"] for r in q.return_("n")] == [1, 2]


def test_match_replaces_binding(g3):
    base = g3.query().match(node="n", type=A)
    assert col(base.match(node="n").return_("n"), "n") == ["A", "B", "C"]  # not narrowed
    emptied = base.match(node="n", type=Z)
    assert emptied.return_("n") == [] and emptied.return_count() == 0
    assert g3.query().match("(:A)").return_count() == 0  # no variable, nothing bound


@pytest.mark.parametrize(
    "pattern, n, e, m",
    [
        ("(n)-[e]->(m)", ["A", "B", "A"], ["f", "g", "h"], ["B", "C", "C"]),
        ("(n:A)-[e]->(m)", ["A", "A"], ["f", "h"], ["B", "C"]),
        ("(n)-[e]->(m:C)", ["B", "A"], ["g", "h"], ["C", "C"]),
        ("(n)-[e:B -> C]->(m)", ["B"], ["g"], ["C"]),
        ("(n)-[e:$* -> C$]->(m)", ["B", "A"], ["g", "h"], ["C", "C"]),
        ("(n)-[e]->(n)", ["B", "C", "C"], ["f", "g", "h"], []),  # the end binding wins
        ("(n:C)-[e]->(m)", [], [], []),
    ],
)
def test_single_step_path_aligned_by_position(path_graph, pattern, n, e, m):
    rows = path_graph.query().match(pattern).return_("n", "e", "m")
    assert (col(rows, "n"), col(rows, "e"), col(rows, "m")) == (n, e, m)


def test_single_step_binds_the_edges_own_nodes_and_ignores_the_nodes_dict():
    g = Graph()
    a, b = Node(A, {"from": "edge"}), Node(B)
    link(g, "f", a, b)
    put(g, Node(A, {"from": "dict"}))
    g.nodes["bad"] = 5
    (row,) = g.query().match("(n)-[e]->(m)").return_("n", "m")
    assert row["n"].properties is a.properties and row["m"].properties is b.properties


@pytest.mark.parametrize(
    "where, key, junk, call",
    [
        ("nodes", "bad", 5, lambda q: q.match(node="n")),
        ("nodes", "bad", 5, lambda q: q.match(node="n", type=A)),  # A is there; the lookup still fails
        ("nodes", 7, Node(B), lambda q: q.match(node="n", type=A)),  # the lookup wants str keys
        ("nodes", "bad", 5, lambda q: q.merge(node="n", properties={"x": 1})),
        ("nodes", "bad", 5, lambda q: q.merge(node="n", type=C)),
        ("edges", "bad", "junk", lambda q: q.match("(n)-[e]->(m)")),
        ("edges", "bad", Node(A), lambda q: q.match(node="a", type=A).merge(edge="e", start="a", end="a")),
    ],
)
def test_malformed_entries_raise_type_error(path_graph, where, key, junk, call):
    getattr(path_graph, where)[key] = junk
    with pytest.raises(TypeError):
        call(path_graph.query()).return_()


def test_untyped_walks_read_values_not_keys(path_graph):
    path_graph.nodes[7] = Node(Z)
    assert path_graph.query().match(node="n").return_count() == 4
    path_graph.edges["bad"] = 5  # an edge merge with an unbound end reads no edge
    assert path_graph.query().merge(edge="e", start="x", end="y").return_count() == 0


# ---- create, merge, set, delete -----------------------------------------------------


def test_create_typed_node_replaces_same_type():
    g = Graph()
    old = put(g, Node(A, {"old": 1}))
    put(g, Node(B))
    q = g.query().create(node="p", type=A, properties={"name": "Alice"})
    (row,) = q.return_("p")
    stored = g.nodes[old.uid()]
    assert len(g.nodes) == 2 and stored is not old
    assert stored.properties == {"name": "Alice"} and row["p"].properties is stored.properties
    q.return_()
    assert g.nodes[old.uid()] is not stored  # every run stores a newly made node


def test_create_without_type_changes_nothing(g3):
    before = dict(g3.nodes)
    q = g3.query().match(node="p", type=B).create(node="p", properties={"x": 1})
    assert col(q.return_("p"), "p") == ["B"] and g3.nodes == before


def test_merge_node():
    g = Graph()
    q = g.query().merge(node="n", type=A, properties={"k": 1})
    assert len(q.return_("n")) == 1 and len(q.return_("n")) == 2 and len(g.nodes) == 1
    assert g.query().merge(node="n", properties={"k": 2}).return_count() == 0  # untyped miss
    assert g.query().merge(node="n", properties={"k": 1.0}).return_count() == 1
    g.query().merge(node="n", type=A, properties={"k": 2}).return_count()  # typed miss replaces
    assert len(g.nodes) == 1 and g.nodes[Node(A).uid()].properties == {"k": 2}


@pytest.mark.parametrize("pattern", ["(c)", "(x:C)", "(("])
def test_merge_node_form_comes_before_a_pattern(pattern):
    # The node form wins; the text is not even parsed.
    g = Graph()
    assert [str(r["n"]) for r in g.query().merge(pattern, node="n", type=B).return_("n", "x")] == ["Node(B)"]
    assert list(g.nodes) == [Node(B).uid()]


def test_merge_edge_form_comes_before_a_pattern():
    g = Graph()
    with pytest.raises(ValueError, match=r"^Invalid query: Variable name required$"):
        g.query().merge("(x:C)", edge="e")
    a, b = put(g, Node(A)), put(g, Node(B))
    link(g, "f", a, b)
    q = g.query().match(node="a", type=A).match(node="b", type=B)
    assert col(q.merge("(x:C)", edge="e", start="a", end="b").return_("e"), "e") == ["f"]
    assert Node(C).uid() not in g.nodes


def test_edge_merge_finds_first_edge_between_first_bound_nodes():
    g = Graph()
    a, b, c = put(g, Node(A)), put(g, Node(B)), put(g, Node(C))
    link(g, "x", a, c)
    link(g, "f", a, b)
    link(g, "f2", a, b)
    q = g.query().match(node="a", type=A).match(node="b", type=B).merge(edge="e", start="a", end="b")
    assert col(q.return_("e"), "e") == ["f"]
    assert col(q.return_("e"), "e") == ["f", "f"]
    unbound = g.query().match(node="a", type=A).merge(edge="e", start="a", end="nobody")
    assert unbound.return_("e") == [] and len(g.edges) == 3
    on_edges = g.query().match("(n)-[x]->(m)").match(node="b", type=B).merge(edge="e", start="x", end="b")
    assert on_edges.return_("e") == []  # the start binding does not begin with a node


def test_set_applies_callers_dict_by_reference(g3):
    d = {"age": 1}
    q = g3.query().match(node="n", type=A).match(node="m", type=B).set("m", d).set("zz", {"x": 1})
    d["late"] = True
    q.return_()
    assert g3.nodes[Node(B).uid()].properties == {"age": 1, "late": True}
    assert g3.nodes[Node(A).uid()].properties == {"age": 25.0}
    g3.query().match(node="n").set("n", {"seen": 1}).return_()
    assert all(n.properties["seen"] == 1 for n in g3.nodes.values())


def test_delete_keeps_bindings_and_edges(path_graph):
    q = path_graph.query().match(node="n", type=A).delete("n").delete("n")
    assert col(q.return_("n"), "n") == ["A"]  # the binding remains
    assert Node(A).uid() not in path_graph.nodes and len(path_graph.nodes) == 2
    assert len(path_graph.edges) == 3
    r = path_graph.query().match("(n)-[e]->(m)").delete("e")
    assert len(r.return_("e")) == 3 and path_graph.edges == {}


def test_run_stops_at_first_error_without_rollback():
    g = Graph()
    g.nodes["bad"] = 5
    q = g.query().create(node="p", type=A).match(node="n").create(node="z", type=C)
    for call in (q.return_, q.return_count, q.execute):
        with pytest.raises(TypeError):
            call()
    assert Node(A).uid() in g.nodes and Node(C).uid() not in g.nodes


# ---- rows -----------------------------------------------------------------------------


def test_rows_by_position(g3):
    q = g3.query().match(node="n").match(node="m", type=B).match(node="empty", type=Z)
    rows = q.return_("n", "m")
    assert [sorted(r) for r in rows] == [["m", "n"], ["n"], ["n"]]
    assert col(rows, "n") == ["A", "B", "C"] and col(rows, "m") == ["B"]
    assert q.return_() == [] and q.return_count() == 3
    assert q.return_("empty") == [] and q.return_("unbound") == []
    assert col(q.return_("m", "unbound", "m"), "m") == ["B"]
    stored = g3.nodes[Node(B).uid()]
    assert rows[0]["m"] is not stored and rows[0]["m"].properties is stored.properties
    assert Graph().query().return_("n") == [] and Graph().query().return_count() == 0


def test_return_distinct_matches_return_on_distinct_binding(path_graph):
    q = path_graph.query().match("(n)-[e]->(m:C)")
    assert col(q.return_distinct("n", "e"), "e") == col(q.return_("n", "e"), "e") == ["g", "h"]
