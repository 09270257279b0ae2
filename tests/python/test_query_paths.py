"""Edge-form matches, paths of any length and direction, brace property maps,
edge and path creation, edge merges, set on edges and detach delete."""

import itertools

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel import Application, Edge, EdgePattern, Graph, Node, NodePattern, PathPattern, Term, Variable

A, B, C, D = (Variable(n) for n in "ABCD")


def put(g, node):
    g.nodes[node.uid()] = node
    return node


def link(g, name, start, end, props=None):
    e = Edge(Term(name, Application(start.type, end.type)), start, end, props)
    g.edges[e.uid()] = e
    return e


def col(rows, name):
    out = []
    for r in rows:
        if name in r:
            v = r[name]
            out.append(v.term.name if isinstance(v, Edge) else str(v.type))
    return out


def cols(rows, *names):
    return tuple(col(rows, n) for n in names)


@pytest.fixture
def chain():
    # a -f-> b -g-> c -h-> d, plus a -k-> c, in that order
    g = Graph()
    a, b, c, d = (put(g, Node(t)) for t in (A, B, C, D))
    link(g, "f", a, b, {"w": 1})
    link(g, "g", b, c, {"w": 2})
    link(g, "h", c, d, {"w": 1})
    link(g, "k", a, c)
    return g


# ---- edge form ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, edges",
    [
        ({}, ["f", "g", "h", "k"]),
        ({"term": Term("g", Application(B, C))}, ["g"]),
        ({"term": Term("g", Application(A, C))}, []),  # same name, other type
        ({"term_type_schema": "$A -> *$"}, ["f", "k"]),
        ({"properties": {"w": 1.0}}, ["f", "h"]),
        ({"properties": {"w": 1}, "term_type_schema": "$C -> *$"}, ["h"]),
    ],
)
def test_edge_form_match(chain, kwargs, edges):
    rows = chain.query().match(edge="e", start="s", end="t", **kwargs).return_("s", "e", "t")
    assert col(rows, "e") == edges
    assert all(str(r["s"].type) + " -> " + str(r["t"].type) == str(r["e"].term.type)[1:-1] for r in rows)


def test_edge_form_binding_order_and_missing_names(chain):
    rows = chain.query().match(edge="x", start="x", end="t").return_("x", "t")
    assert col(rows, "x") == ["f", "g", "h", "k"]  # the edge replaces the start binding
    rows = chain.query().match(edge="e", start="x", end="x").return_("x", "e")
    assert col(rows, "x") == ["B", "C", "D", "C"]  # the end replaces the start
    assert chain.query().match(edge="e", start=Node(A)).return_count() == 4  # a non-str names nothing


# ---- paths ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("(x)-[p]->(y)-[q]->(z)", [("A", "f", "B", "g", "C"), ("B", "g", "C", "h", "D"), ("A", "k", "C", "h", "D")]),
        ("(x:A)-[p]->(y)-[q]->(z)", [("A", "f", "B", "g", "C"), ("A", "k", "C", "h", "D")]),
        ("(x)-[p]->(y)-[q]->(z:C)", [("A", "f", "B", "g", "C")]),
        ("(x)-[p]->(y)<-[q]-(z)", [("B", "g", "C", "k", "A"), ("A", "k", "C", "g", "B")]),
        ("(x)<-[p]-(y)", [("B", "f", "A"), ("C", "g", "B"), ("D", "h", "C"), ("C", "k", "A")]),
        ("(x:D)<-[p]-(y)<-[q]-(z)", [("D", "h", "C", "g", "B"), ("D", "h", "C", "k", "A")]),
        ("(x)-[p {w: 1}]->(y)", [("A", "f", "B"), ("C", "h", "D")]),
        ("(x)-[p]->(y)-[q]->(z)-[r]->(u)", [("A", "f", "B", "g", "C", "h", "D")]),
        ("(x:B)-[p]-(y)", [("B", "f", "A"), ("B", "g", "C")]),
        ("(x)-[p {w: 2}]-(y:B)", [("C", "g", "B")]),
        ("(x)-[p:$* -> C$]-(y:A)", [("C", "k", "A")]),  # "->" inside the brackets is no arrow
    ],
)
def test_path_rows_depth_first_in_dict_order(chain, pattern, expected):
    names = ["x", "p", "y", "q", "z", "r", "u"][: pattern.count("(")* 2 - 1]
    rows = chain.query().match(pattern).return_(*names)
    assert [tuple(col([r], n)[0] for n in names) for r in rows] == expected


def test_any_direction_gives_both_orientations_and_self_loops_once():
    g = Graph()
    a, b = put(g, Node(A)), put(g, Node(B))
    link(g, "f", a, b)
    link(g, "loop", a, a)
    rows = g.query().match("(x)-[e]-(y)").return_("x", "e", "y")
    assert cols(rows, "x", "e", "y") == (["A", "B", "A"], ["f", "f", "loop"], ["B", "A", "A"])


def test_paths_use_distinct_edges_and_follow_cycles():
    g = Graph()
    a, b = put(g, Node(A)), put(g, Node(B))
    link(g, "f", a, b)
    link(g, "g", b, a)
    rows = g.query().match("(x)-[p]->(y)-[q]->(z)-[r]->(w)").return_("p")
    assert rows == []  # a third hop would reuse an edge
    rows = g.query().match("(x)-[p]->(y)-[q]->(z)").return_("x", "p", "q", "z")
    assert cols(rows, "x", "p", "q", "z") == (["A", "B"], ["f", "g"], ["g", "f"], ["A", "B"])
    rows = g.query().match("(x)-[p]-(y)-[q]-(z)").return_("p", "q")
    assert cols(rows, "p", "q") == (["f", "f", "g", "g"], ["g", "g", "f", "f"])


def test_path_nodes_are_the_values_held_by_the_edges():
    g = Graph()
    a, b1, b2, c = Node(A, {"from": "f"}), Node(B, {"k": 1}), Node(B), Node(C, {"from": "g"})
    link(g, "f", a, b1)
    link(g, "g", b2, c)
    (row,) = g.query().match("(x)-[p]->(y)-[q]->(z)").return_("x", "y", "z")
    assert row["x"].properties is a.properties and row["z"].properties is c.properties
    assert row["y"].properties is b1.properties  # where edge 0 arrives, not where edge 1 leaves
    assert g.query().match("(x)-[p]->(y {k: 1})-[q]->(z)").return_count() == 1
    assert g.query().match("(x)<-[p]-(y {k: 1})<-[q]-(z)").return_count() == 0


def test_path_later_position_with_the_same_name_wins(chain):
    rows = chain.query().match("(x)-[p]->(x)-[q]->(z)").return_("x", "z")
    assert col(rows, "x") == ["B", "C", "C"] and col(rows, "z") == ["C", "D", "D"]


@pytest.mark.parametrize("builder", ["match", "create"])
@pytest.mark.parametrize("pattern", ["(a:A)(b:B)", "(a:A)-[e]->(b:B)(c:C)"])
def test_shapes_that_cannot_be_paths_raise(chain, builder, pattern):
    before = (dict(chain.nodes), dict(chain.edges))
    q = getattr(chain.query(), builder)(pattern)
    message = rf"^Invalid query: a path needs one more node than edges \({builder}\)$"
    with pytest.raises(ValueError, match=message):
        q.return_()
    assert (chain.nodes, chain.edges) == before


def test_failed_path_match_keeps_earlier_bindings(chain):
    q = chain.query().match(node="x", type=B).match("(x)-[p]->(y)-[q]->(z)")
    chain.edges["junk"] = 5
    with pytest.raises(TypeError):
        q.return_()
    del chain.edges["junk"]
    assert col(q.execute().return_("x"), "x") == ["A", "B", "A"]


# ---- brace maps ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "pattern, count",
    [
        ("(n:Person {age: 30})", 1),
        ("(n {age: 30, name: 'Bo'})", 1),
        ("(n {age: 30.0})", 1),
        ('(n {name: "Al"})', 1),
        ("(n {tags: ['x', 'y)']})", 1),
        ("(n {'odd key': null})", 1),
        ("(n {age: 31})", 0),
        ("(n:Robot {age: 30})", 0),
        ("(n {})", 3),
    ],
)
def test_brace_maps_filter_nodes(pattern, count):
    g = Graph()
    put(g, Node(Variable("Person"), {"age": 30, "name": "Bo"}))
    put(g, Node(Variable("Robot"), {"name": "Al", "tags": ["x", "y)"], "odd key": None}))
    put(g, Node(A))
    assert g.query().match(pattern).return_count() == count


@pytest.mark.parametrize(
    "pattern, reason",
    [
        ("(n {age: })", "Expected a value for key 'age' in property map"),
        ("(n {age 30})", "Expected ':' after key 'age' in property map"),
        ("(n {a: 1, a: 2})", "Duplicate key 'a' in property map"),
        ("(n {a: 'x})", "Unterminated string in property map"),
        ("(n {a: 1)", "Expected ',' or '}' after the value of key 'a' in property map"),
        ("(n {a: 1} :A)", "Property map must come last in a node or edge pattern"),
        ("(n {a: 1}{b: 2})", "Property map must come last in a node or edge pattern"),
        ("(a)-[e {a: 1} x]->(b)", "Property map must come last in a node or edge pattern"),
        ("(a)-[e {a: x}]->(b)", "Expected a value for key 'a' in property map"),
    ],
)
def test_malformed_brace_maps(pattern, reason):
    with pytest.raises(ValueError) as info:
        PathPattern(pattern)
    assert str(info.value) == f"Invalid pattern '{pattern}': {reason}"


def test_edge_brace_maps_do_not_disturb_the_direction(chain):
    assert chain.query().match("(x)<-[e {s: '->'}]-(y)").return_count() == 0
    link(chain, "z", chain.nodes[Node(D).uid()], chain.nodes[Node(A).uid()], {"s": "->"})
    rows = chain.query().match("(x)<-[e {s: '->'}]-(y)").return_("x", "y")
    assert cols(rows, "x", "y") == (["A"], ["D"])


# ---- creating -----------------------------------------------------------------------------


def test_edge_creation():
    g = Graph()
    t = Term("f", Application(A, B))
    q = g.query().create(node="a", type=A).create(node="b", type=B)
    q = q.create(edge="e", term=t, start="a", end="b", properties={"w": 1})
    (row,) = q.return_("e")
    stored = g.edges[Edge(t, Node(A), Node(B)).uid()]
    assert row["e"].properties is stored.properties and stored.properties == {"w": 1}
    assert str(stored) == "Edge(f: A -> B)" and len(g.edges) == 1
    q.return_()
    assert len(g.edges) == 1 and g.edges[stored.uid()] is not stored  # replaced by a new one


@pytest.mark.parametrize(
    "prefix, error, message",
    [
        (lambda q: q, NameError, "Variable 'a' not found (create)"),
        (lambda q: q.match(node="a", type=C), NameError, "Variable 'a' not found (create)"),
        (lambda q: q.match(node="a", type=A), NameError, "Variable 'b' not found (create)"),
        (lambda q: q.match(node="a", type=A).match(node="b", type=A),
         ValueError, "Invalid query: edge creation requires a term (create)"),
        (lambda q: q.match(edge="a").match(node="b", type=A),
         ValueError, "Invalid query: variable 'a' is bound to an edge, not a node (create)"),
    ],
)
def test_edge_creation_errors(prefix, error, message):
    g = Graph()
    put(g, Node(A))
    link(g, "f", Node(A), Node(A))
    before = dict(g.edges)
    q = prefix(g.query()).create(edge="e", start="a", end="b")
    with pytest.raises(error) as info:
        q.return_()
    assert info.value.args[0] == message and g.edges == before


@pytest.mark.parametrize(
    "pattern, edges",
    [
        ("(x:A)-[f]->(y:B)", ["f: (A -> B)"]),
        ("(x:A)<-[f]-(y:B)", ["f: (B -> A)"]),
        ("(x:A)-[f]-(y:B)", ["f: (A -> B)"]),
        ("(x:A)-[f:C]->(y:B)", ["f: C"]),
        ("(x:A)-[f:$*$]->(y:B)", ["f: (A -> B)"]),  # not a concrete type: derived
        ("(x:A -> B)-[f]->(y:(A -> B) -> C)", ["f: ((A -> B) -> ((A -> B) -> C))"]),
        ("(x:A)-[f]->(y:B)-[g]->(x)", ["f: (A -> B)", "g: (B -> A)"]),
    ],
)
def test_path_creation(pattern, edges):
    g = Graph()
    rows = g.query().create(pattern).return_("x", "f", "y")
    assert [f"{e.term.name}: {e.term.type}" for e in g.edges.values()] == edges
    assert len(rows) == 1 and g.nodes[rows[0]["x"].uid()].properties is rows[0]["x"].properties
    assert rows[0]["f"].start.properties is rows[0]["x"].properties or "<-" in pattern


def test_path_creation_with_maps_and_bound_nodes():
    g = Graph()
    q = g.query().create(node="a", type=A, properties={"k": 0})
    q = q.create("(a)-[f {w: 2}]->(b:B {name: 'b'})")
    rows = q.return_("a", "f", "b")
    (e,) = g.edges.values()
    assert e.properties == {"w": 2} and g.nodes[Node(B).uid()].properties == {"name": "b"}
    assert e.start.properties is g.nodes[Node(A).uid()].properties
    assert cols(rows, "a", "f", "b") == (["A"], ["f"], ["B"])


@pytest.mark.parametrize(
    "pattern, message",
    [
        ("(a)-[f]->(b:B)", "Invalid query: cannot create node 'a' without a type (create)"),
        ("(a:$*$)", "Invalid query: cannot create node 'a' without a type (create)"),
        ("()-[f]->(b:B)", "Invalid query: cannot create a node without a type (create)"),
        ("(a:A)-[]->(b:B)", "Invalid query: an edge needs a variable to name its term (create)"),
        ("(a:A)-[:C]->(b:B)", "Invalid query: an edge needs a variable to name its term (create)"),
    ],
)
def test_path_creation_errors_store_nothing(pattern, message):
    g = Graph()
    q = g.query().create(pattern)
    with pytest.raises(ValueError) as info:
        q.return_()
    assert str(info.value) == message and len(g.nodes) == 0 and len(g.edges) == 0


# ---- merging ------------------------------------------------------------------------------


def test_edge_merge_narrows_and_creates_with_a_term():
    g = Graph()
    a, b = put(g, Node(A)), put(g, Node(B))
    link(g, "f", a, b, {"w": 1})
    def ends():
        return g.query().match(node="a", type=A).match(node="b", type=B)

    assert col(ends().merge(edge="e", start="a", end="b", properties={"w": 1}).return_("e"), "e") == ["f"]
    missing = ends().merge(edge="e", start="a", end="b", properties={"w": 2})
    assert missing.return_("e") == [] and len(g.edges) == 1  # no term: nothing stored
    assert ends().merge(edge="e", term_type_schema="$B -> *$", start="a", end="b").return_("e") == []
    t = Term("g", Application(A, B))
    made = ends().merge(edge="e", term=t, start="a", end="b", properties={"w": 2})
    assert col(made.return_("e"), "e") == ["g"] and len(g.edges) == 2
    assert g.edges[Edge(t, a, b).uid()].properties == {"w": 2}
    assert col(made.return_("e"), "e") == ["g", "g"] and len(g.edges) == 2  # found now, appended


@pytest.mark.parametrize(
    "pattern, type_text",
    [("(n:A)", "A"), ("(n:A -> B {k: 1})", "(A -> B)"), ("(n:(A -> B) -> C)", "((A -> B) -> C)"), ("(n:$A$)", "A")],
)
def test_merge_pattern_string_is_a_typed_node_merge(pattern, type_text):
    g = Graph()
    q = g.query().merge(pattern)
    assert col(q.return_("n"), "n") == [type_text] and col(q.return_("n"), "n") == [type_text] * 2
    assert len(g.nodes) == 1


@pytest.mark.parametrize("pattern", ["(n)", "(n:$*$)", "(n:$(x:A)$)", "(n:A B)", "(a:A)-[e]->(b:B)", "(a:A)(b:B)"])
def test_merge_refuses_other_pattern_strings(pattern):
    q = Graph().query()
    with pytest.raises(ValueError, match=r"^Invalid query: merge takes a single node pattern \(merge\)$"):
        q.merge(pattern)
    assert q.return_count() == 0


def test_merge_pattern_parse_errors_come_first():
    with pytest.raises(ValueError, match="^Invalid pattern '\\(a\\)-\\[e\\]->': Pattern cannot end with an edge$"):
        Graph().query().merge("(a)-[e]->")


# ---- set and detach delete ------------------------------------------------------------------


def test_set_updates_bound_edges(chain):
    chain.query().match("(x)-[e {w: 1}]->(y)").set("e", {"seen": True}).execute()
    assert [e.properties.get("seen") for e in chain.edges.values()] == [True, None, True, None]


def test_detach_delete_removes_touching_edges(chain):
    chain.query().match(node="n", type=C).delete("n", detach=True).return_()
    assert [e.term.name for e in chain.edges.values()] == ["f"] and Node(C).uid() not in chain.nodes
    chain.query().match(node="n", type=A).delete("n").return_()
    assert [e.term.name for e in chain.edges.values()] == ["f"]  # without detach, edges stay


# ---- against a brute-force enumeration ----------------------------------------------------

TYPES = [A, B, C]
ARROWS = {"forward": "-[{}]->", "backward": "<-[{}]-", "any": "-[{}]-"}


def brute_force(edges, dirs, first):
    """(node types, edge names) of every path of distinct edges, depth first in
    dict order, forward before backward at each position."""
    found = []
    for combo in itertools.product(range(len(edges)), repeat=len(dirs)):
        if len(set(combo)) < len(combo):
            continue
        for flips in itertools.product([False, True], repeat=len(dirs)):
            steps = []
            for j, flip, d in zip(combo, flips, dirs):
                s, t = edges[j]
                if (d == "forward" and flip) or (d == "backward" and not flip) or (d == "any" and flip and s == t):
                    break
                steps.append((t, s) if flip else (s, t))
            else:
                if first and steps[0][0] != first:
                    continue
                if all(steps[i][1] == steps[i + 1][0] for i in range(len(steps) - 1)):
                    nodes = [steps[0][0]] + [arrive for _, arrive in steps]
                    key = [x for pair in zip(combo, flips) for x in pair]
                    found.append((key, [str(n) for n in nodes], [f"e{j}" for j in combo]))
    return [(nodes, names) for _, nodes, names in sorted(found)]


@settings(max_examples=60, deadline=None)
@given(
    edges=st.lists(st.tuples(st.sampled_from(TYPES), st.sampled_from(TYPES)), max_size=6),
    dirs=st.lists(st.sampled_from(sorted(ARROWS)), min_size=1, max_size=3),
    first=st.sampled_from([None, A, B]),
)
def test_multi_hop_matches_brute_force(edges, dirs, first):
    g = Graph()
    for j, (s, t) in enumerate(edges):
        link(g, f"e{j}", Node(s), Node(t))
    text = f"(n0:{first})" if first else "(n0)"
    for i, d in enumerate(dirs):
        text += ARROWS[d].format(f"r{i}") + f"(n{i + 1})"
    nodes = [f"n{i}" for i in range(len(dirs) + 1)]
    rels = [f"r{i}" for i in range(len(dirs))]
    rows = g.query().match(text).return_(*nodes, *rels)
    got = [([str(r[n].type) for n in nodes], [r[x].term.name for x in rels]) for r in rows]
    assert got == brute_force(edges, dirs, first)


# ---- user code during matches ---------------------------------------------------------------


class Sneaky:
    """A property value whose == runs an action first."""

    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        self.action()
        return True

    __hash__ = object.__hash__


class Boom(Exception):
    pass


def test_user_code_changing_the_graph_during_a_path_match(chain):
    for e in chain.edges.values():
        e.properties["s"] = Sneaky(chain.edges.clear)
    # The match reads the dict in place: a change stops it, as a dict iterator would.
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        chain.query().match("(x)-[p {s: 1}]->(y)-[q]->(z)").return_("p", "q")
    assert chain.edges == {}


def test_user_code_raising_during_matches_and_merges(chain):
    def boom():
        raise Boom

    next(iter(chain.edges.values())).properties["s"] = Sneaky(boom)
    calls = [
        lambda q: q.match("(x)-[p {s: 1}]->(y)-[q]->(z)"),
        lambda q: q.match("(x)-[p {s: 1}]-(y)"),
        lambda q: q.match(edge="e", properties={"s": 1}),
        lambda q: q.match(node="a", type=A).match(node="b", type=B).merge(edge="e", start="a", end="b",
                                                                           properties={"s": 1}),
    ]
    for call in calls:
        with pytest.raises(Boom):
            call(chain.query()).return_()
    assert len(chain.edges) == 4


def test_edge_form_walk_stops_when_the_dict_changes(chain):
    next(iter(chain.edges.values())).properties["s"] = Sneaky(lambda: chain.edges.pop("x", None) or chain.edges.update(x=1))
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        chain.query().match(edge="e", properties={"s": 1}).return_()
