import gc
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel import Application, Edge, Graph, Node, Term, Variable

from conftest import sha


@pytest.fixture
def f(A, B):
    return Term("f", Application(A, B))


def test_node_uid_depends_on_type_only(A):
    assert Node(A).uid() == Node(A, {"k": 1}).uid() == sha("node:" + A.uid())
    assert len(Node(A).uid()) == 64
    assert Node(A).uid() != Node(Variable("B")).uid()


def test_node_properties_by_reference(A):
    d = {"k": 1}
    n = Node(A, d)
    assert n.properties is d
    assert Node(A, None).properties == {}
    assert Node(A).properties is not Node(A).properties
    n.properties["z"] = 2
    assert d["z"] == 2


@pytest.mark.parametrize("props", [[1], "x", 5, ()])
def test_properties_must_be_a_dict_checked_before_the_type(props):
    with pytest.raises(TypeError, match="properties"):
        Node(42, props)
    with pytest.raises(TypeError, match="properties"):
        Node(Variable("A"), props)


def test_node_type_conversion_error():
    with pytest.raises(TypeError, match="^Expected Variable or Application$"):
        Node(42)


def test_properties_setter(A):
    n = Node(A)
    n.properties = {"a": 1}
    assert n.properties == {"a": 1}

    class D(dict):
        pass

    d = D()
    n.properties = d
    assert n.properties is d
    with pytest.raises(TypeError, match="properties"):
        n.properties = None
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del n.properties
    assert n.properties is d


def test_node_forms(A, B, C):
    assert str(Node(A)) == repr(Node(A)) == "Node(A)"
    assert str(Node(Application(A, B))) == "Node((A -> B))"
    assert Node(type=A, properties={"x": 1}).properties == {"x": 1}
    n = Node(A)
    assert n.type == A and n.type is not n.type
    with pytest.raises(AttributeError):
        n.type = B


def test_edge_copies_and_sharing(A, B, f):
    a, b = Node(A, {"name": "a"}), Node(B)
    e = Edge(f, a, b)
    assert e.start is not e.start
    assert e.start.properties is a.properties
    assert e.start.uid() == a.uid() and e.end.uid() == b.uid()
    assert e.term == f and e.term is not e.term
    old = a.properties
    a.properties = {}
    assert e.start.properties is old
    assert e.properties == {} and Edge(f, a, b, {"w": 1}).properties == {"w": 1}


def test_edge_uid_depends_on_term_only(A, B, C, f):
    e1 = Edge(f, Node(A), Node(B))
    e2 = Edge(f, Node(A), Node(C), {"x": 1})
    assert e1.uid() == e2.uid() == sha("edge:" + f.uid())


def test_edge_keeps_its_term_when_the_python_term_changes(A, B, f):
    e = Edge(f, Node(A), Node(B))
    before = e.uid(), str(e)
    f.name = "g"
    assert (e.uid(), str(e)) == before


def test_edge_forms(A, B, C):
    e = Edge(Term("f", A), Node(A), Node(Application(B, C)))
    assert str(e) == repr(e) == "Edge(f: A -> (B -> C))"


def test_edge_argument_checks_in_order(A, B, f):
    n = Node(A)
    with pytest.raises(TypeError, match="properties"):
        Edge(1, 2, 3, [4])
    with pytest.raises(TypeError, match="Term"):
        Edge(1, 2, 3)
    with pytest.raises(TypeError, match="Node"):
        Edge(f, 2, 3)
    with pytest.raises(TypeError, match="Node"):
        Edge(f, n, "x")
    with pytest.raises(TypeError):
        Edge(f, n)
    assert str(Edge(term=f, start=n, end=n)) == "Edge(f: A -> A)"


def test_graph_container(A):
    g = Graph()
    assert str(g) == repr(g) == "Graph(0 nodes, 0 edges)"
    assert g.nodes is g.nodes and g.edges is g.edges
    g.nodes["x"] = Node(A)
    assert str(g) == "Graph(1 nodes, 0 edges)"
    g.edges["y"] = 1
    g.edges["z"] = 2
    assert str(g) == "Graph(1 nodes, 2 edges)"
    with pytest.raises(AttributeError):
        g.nodes = {}
    with pytest.raises(TypeError):
        Graph(1)
    with pytest.raises(TypeError):
        Graph(nodes={})


def test_no_value_equality(A):
    assert Node(A) != Node(A)
    g = Graph()
    assert g == g and hash(g) == hash(g)


class Canary:
    freed = 0

    def __del__(self):
        Canary.freed += 1


@pytest.mark.parametrize("make", [
    lambda A: Node(A),
    lambda A: Edge(Term("t", A), Node(A), Node(A)),
])
def test_cycles_through_properties_are_collected(A, make):
    obj = make(A)
    gc.collect()
    Canary.freed = 0
    obj.properties["self"] = obj
    obj.properties["canary"] = Canary()
    del obj
    gc.collect()
    assert Canary.freed == 1


def test_cycle_through_edge_node_copy_is_collected(A):
    a = Node(A)
    e = Edge(Term("t", A), a, a)
    gc.collect()
    Canary.freed = 0
    a.properties["edge"] = e
    a.properties["canary"] = Canary()
    del a, e
    gc.collect()
    assert Canary.freed == 1


def test_cycle_through_graph_is_collected(A):
    g = Graph()
    gc.collect()
    Canary.freed = 0
    g.nodes["g"] = g
    g.edges["c"] = Canary()
    del g
    gc.collect()
    assert Canary.freed == 1


def test_typed_lookups_follow_every_change_of_the_nodes_dict(A, B):
    # Typed lookups may reuse what an earlier lookup learnt about an unchanged
    # dict; every kind of change must still be seen by the next lookup.
    g = Graph()
    q = lambda: g.query().match(node="n", type=A).return_("n")  # noqa: E731
    assert q() == []
    g.nodes["k1"] = Node(A, {"i": 1})
    assert [r["n"].properties["i"] for r in q()] == [1]
    g.nodes["k2"] = Node(A, {"i": 2})
    assert [r["n"].properties["i"] for r in q()] == [1, 2]
    g.nodes["k1"] = Node(B)                      # same key, other type
    assert [r["n"].properties["i"] for r in q()] == [2]
    g.nodes["k1"] = Node(A, {"i": 3})            # back again, same position
    assert [r["n"].properties["i"] for r in q()] == [3, 2]
    del g.nodes["k2"]
    assert [r["n"].properties["i"] for r in q()] == [3]
    g.nodes[5] = Node(A)                         # a malformed entry fails every lookup
    with pytest.raises(TypeError):
        q()
    del g.nodes[5]
    g.nodes.clear()
    assert q() == []


TYPE_NAMES = ["A", "B", "C"]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["create", "merge", "put", "put_uid", "delete", "lookup"]),
                          st.sampled_from(TYPE_NAMES), st.integers(0, 3)), max_size=25))
def test_typed_lookups_agree_with_a_scan(steps):
    # Creates and merges keep the reused type index up to date; user edits
    # of every kind must be seen too. The oracle is a plain scan of the dict.
    g = Graph()
    for action, name, k in steps:
        t = Variable(name)
        if action == "create":
            g.query().create(node="n", type=t, properties={"k": k}).return_count()
        elif action == "merge":
            g.query().merge(node="n", type=t).return_count()
        elif action == "put":
            g.nodes[f"key{k}"] = Node(t, {"k": k})
        elif action == "put_uid":
            g.nodes[Node(Variable(TYPE_NAMES[k % 3])).uid()] = Node(t, {"k": k})
        elif action == "delete" and g.nodes:
            del g.nodes[list(g.nodes)[k % len(g.nodes)]]
        for probe in TYPE_NAMES:
            want = [n.properties for n in g.nodes.values() if n.type == Variable(probe)]
            got = [r["n"].properties for r in g.query().match(node="n", type=Variable(probe)).return_("n")]
            assert [id(p) for p in got] == [id(p) for p in want]


def test_a_dict_made_on_first_use_is_shared_by_every_copy(A, f):
    # No dict was given: whichever copy is made or read first, all of them
    # end up with the same dict.
    n = Node(A)
    e = Edge(f, n, n)
    assert e.start.properties is n.properties is e.end.properties
    g = Graph()
    m = Node(A)
    g.nodes[m.uid()] = m
    row = g.query().match(node="x").return_("x")[0]
    row["x"].properties["seen"] = True
    assert m.properties == {"seen": True}
    bare = Edge(f, Node(A), Node(A))
    assert bare.properties is bare.properties and bare.properties == {}


@pytest.mark.parametrize("make, read", [
    (lambda p: Node(Variable("A"), p), lambda n: n.uid()),
    (lambda p: Node(Variable("A"), p), lambda n: n.type),
    (lambda p: Edge(Term("t", Variable("A")), Node(Variable("A")), Node(Variable("B")), p), lambda e: e.uid()),
    (lambda p: Edge(Term("t", Variable("A")), Node(Variable("A")), Node(Variable("B")), p), lambda e: e.term),
    (lambda p: Edge(Term("t", Variable("A")), Node(Variable("A")), Node(Variable("B")), p), lambda e: e.start),
    (lambda p: Edge(Term("t", Variable("A")), Node(Variable("A")), Node(Variable("B")), p), lambda e: e.end),
])
def test_copying_getters_are_refused_while_the_properties_are_replaced(make, read):
    seen = []

    class Probe:
        def __del__(self):
            try:
                read(holder[0])
                seen.append("served")
            except RuntimeError as err:
                seen.append(str(err))

    holder = [make({"p": Probe()})]
    holder[0].properties = {}
    assert seen == [f"{type(holder[0]).__name__} object is already in use"]
    read(holder[0])  # served again once the setter is done
