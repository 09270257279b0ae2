"""When the engine's node and edge indexes may stand in for a walk of the dicts.

An index is only worth having if no one can tell it from the walk it saves:
the same rows in the same order, the same errors (a value being changed
elsewhere), the same user code run in the same order, and no references that
a walk would not hold. Each case here once told them apart."""

import gc
import weakref

import pytest

from quorvel import Application, Edge, Graph, Node, Term, Variable

A, B, C = Variable("A"), Variable("B"), Variable("C")


def put(g, node, key=None):
    g.nodes[node.uid() if key is None else key] = node
    return node


def link(g, name, start, end, props=None):
    e = Edge(Term(name, Application(start.type, end.type)), start, end, props)
    g.edges[e.uid()] = e
    return e


def walked(g, type_):
    """The nodes a typed match returns, by a walk of the dict."""
    return [id(n.properties) for n in g.nodes.values() if n.type == type_]


def matched(q):
    return [id(r["n"].properties) for r in q.return_("n")]


# ---- a value being changed elsewhere is seen, index or not ----------------------------------

NODE_LOOKUPS = {
    "typed": lambda g: g.query().match(node="n", type=B),
    "schema": lambda g: g.query().match("(n:B)"),
    "untyped": lambda g: g.query().match(node="n"),
    "zero-length path": lambda g: g.query().match("(n:B)-[*0..1]->(m)"),
}
EDGE_LOOKUPS = {
    "single step": lambda g: g.query().match("(a:B)-[e]->(b)"),
    "single step by its end": lambda g: g.query().match("(a)-[e]->(b:B)"),
    "two hops": lambda g: g.query().match("(a:B)-[e]->(b)-[f]->(c)"),
    "either direction": lambda g: g.query().match("(a:B)-[e]-(b)"),
    "variable length": lambda g: g.query().match("(a:B)-[e*1..2]->(b)"),
    "edge form": lambda g: g.query().match(edge="e"),
}


@pytest.mark.parametrize("warm", [False, True], ids=["cold", "after a lookup"])
@pytest.mark.parametrize("kind, lookup", [("Node", f) for f in NODE_LOOKUPS.values()] +
                         [("Edge", f) for f in EDGE_LOOKUPS.values()], ids=[*NODE_LOOKUPS, *EDGE_LOOKUPS])
def test_an_element_being_changed_is_seen_by_every_lookup(kind, lookup, warm):
    """The properties setter holds its object while the old dict's values are
    released; a lookup run from their finalizer must refuse, as a walk meeting
    that object does, even when an index for the other type is at hand."""
    g, seen = Graph(), []

    class Probe:
        def __del__(self):
            try:
                seen.append(lookup(g).return_count())
            except RuntimeError as e:
                seen.append(str(e))

    a, b = put(g, Node(A)), put(g, Node(B))
    holder = put(g, Node(A, {"p": Probe()}), "held") if kind == "Node" else link(g, "h", a, a, {"p": Probe()})
    link(g, "f", b, b)
    link(g, "g", b, a)
    if warm:
        assert lookup(g).return_count() > 0
    holder.properties = {}
    assert seen == [f"{kind} object is already in use"]
    assert lookup(g).return_count() > 0  # and nothing is left refused


@pytest.mark.parametrize("where", ["nodes", "edges"])
def test_an_indexed_graph_leaks_no_cycle(where):
    """A key holding the graph makes a cycle through the dict; the index must
    add no reference that keeps it alive."""

    class K(str):
        pass

    class Tag:
        pass

    g, k, m = Graph(), K("k"), Tag()
    k.g, k.tag = g, Tag()
    node = Node(A, {"m": m})
    if where == "nodes":
        g.nodes[k] = node
        assert g.query().match("(n:A)").return_count() == 1
    else:
        g.edges[k] = Edge(Term("f", Application(A, A)), node, node)
        assert g.query().match("(a:A)-[e]->(b)-[f]->(c)").return_count() == 0
        assert g.query().match("(a:A)-[e]->(b)").return_count() == 1
    gone = [weakref.finalize(m, lambda: None), weakref.finalize(k.tag, lambda: None)]
    del g, k, m, node
    gc.collect()
    assert not any(f.alive for f in gone)


@pytest.mark.parametrize("existing", [False, True], ids=["new uid", "replaced uid"])
@pytest.mark.parametrize("warm", ["typed", "schema"])
def test_no_stale_lookup_after_a_store_that_ran_user_code(warm, existing):
    """Storing a created node compares its uid with a colliding key, whose ==
    adds an entry: the next lookup must see it, in dict order."""
    g = Graph()
    armed = []

    class Colliding(str):
        def __hash__(self):
            return hash(Node(A).uid())

        def __eq__(self, other):
            if armed:
                armed.clear()
                g.nodes["late"] = Node(A, {"late": True})
            return str.__eq__(self, other)

    put(g, Node(B), Colliding("colliding"))
    put(g, Node(A, {"first": True}), "first")
    if existing:
        put(g, Node(A))
    lookups = {"typed": lambda: g.query().match(node="n", type=A), "schema": lambda: g.query().match("(n:A)")}
    assert matched(lookups[warm]()) == walked(g, A)
    armed.append(True)
    g.query().create(node="p", type=A, properties={"made": True}).execute()
    assert not armed and "late" in g.nodes
    for lookup in lookups.values():
        assert matched(lookup()) == walked(g, A)


@pytest.mark.parametrize("where", ["nodes", "edges"])
def test_a_lookup_from_a_released_key_during_a_rebuild(where):
    """A key's finalizer runs a lookup of the same graph while the dict it was
    in is cleared and the index made again."""
    g = Graph()
    n = Node(A)
    e = Edge(Term("f", Application(A, A)), n, n)
    lookups = {"nodes": lambda: g.query().match(node="n", type=A).return_("n"),
               "edges": lambda: g.query().match("(n:A)-[e]->(m)-[f]-(o)").return_("n")}
    lookup = lookups[where]

    class K(str):
        def __del__(self):
            lookup()

    d, value = (g.nodes, n) if where == "nodes" else (g.edges, e)
    d[K(value.uid())] = value
    if where == "edges":
        link(g, "g", n, n)
    lookup()
    d.clear()
    d[value.uid()] = value
    if where == "edges":
        link(g, "g", n, n)
        assert len(lookup()) == 2
    else:
        assert [str(r["n"]) for r in lookup()] == ["Node(A)"]


# ---- the single step keeps the walk's order of tests -------------------------------------


class Refusing:
    """A property value whose comparison raises."""

    def __eq__(self, other):
        raise ZeroDivisionError("compared")

    __hash__ = None


@pytest.mark.parametrize("warm", [False, True], ids=["cold", "after a lookup"])
@pytest.mark.parametrize(
    "pattern, raises",
    [
        ("(a {p: 1})-[e]->(b:B)", True),  # the start node fully, before the end node's type
        ("(a:A {p: 1})-[e]->(b:B)", True),
        ("(a {p: 1})-[e]->(b:B {q: 1})", True),
        ("(a {p: 1})-[e:$A -> *$]->(b:B)", True),
        ("(a {p: 1})-[e:$B -> *$]->(b)", False),  # the term's schema comes first
        ("(a:B {p: 1})-[e]->(b)", False),  # then the start node's type
        ("(a)-[e]->(b:B {p: 1})", False),  # an end node of another type is not compared
    ],
)
def test_the_single_step_tests_the_start_node_fully_first(pattern, raises, warm):
    g = Graph()
    start, end = Node(A, {"p": Refusing()}), Node(C, {"p": Refusing()})
    link(g, "f", start, end)
    link(g, "g", put(g, Node(B)), put(g, Node(B)))
    if warm:
        g.query().match("(x:B)-[y]->(z:B)").return_count()
    q = g.query().match(pattern)
    if raises:
        with pytest.raises(ZeroDivisionError):
            q.return_count()
    else:
        assert q.return_count() == 0


def test_edges_created_by_queries_are_found_between_two_types():
    # Creating an edge updates a graph's edge index in place; a step between
    # two typed ends must then see the new edges too, also from a type that
    # had none before.
    g = Graph()
    types = {"A": A, "B": B, "C": C}
    link(g, "t0", put(g, Node(A)), put(g, Node(B)))
    steps = [("A", "B"), ("A", "B"), ("C", "A"), ("B", "C"), ("C", "A"), ("A", "A")]
    for i, (s, t) in enumerate(steps):
        for x, y in [("A", "B"), ("C", "A"), ("B", "C"), ("A", "A")]:  # a typed step makes the pair grouping
            got = [r["r"].uid() for r in g.query().match(f"(x:{x})-[r]->(y:{y})").return_("r")]
            want = [k for k, e in g.edges.items() if e.start.type == types[x] and e.end.type == types[y]]
            assert got == want, (i, x, y)
        g.query().create(f"(x:{s})-[r:t{i + 1}]->(y:{t})").execute()
