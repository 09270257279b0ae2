"""Deep and long inputs: types nested a million deep through every operation that
takes a type, and schema, path and condition texts of a million characters or a
hundred thousand nesting levels. Nothing may recurse on the C stack in
proportion to the input, and every answer must still be the right one."""

import hashlib

import pytest

from quorvel import Application, Edge, Graph, Node, NodePattern, PathPattern, Term, TypeSchema, Variable

A, B = Variable("A"), Variable("B")
DEEP = 10**6
NESTING = 10**5
LONG = 10**6


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def left_nested(n, leaf=A):
    """((A -> A) -> A) ... n arrows deep on the left."""
    t = leaf
    for _ in range(n):
        t = Application(t, A)
    return t


def right_nested(n, leaf=A):
    """A -> (A -> (... -> leaf)), n arrows deep on the right."""
    t = leaf
    for _ in range(n):
        t = Application(A, t)
    return t


def expected_uid(n, left, leaf="A"):
    """The uid by its definition, computed independently with hashlib."""
    a = sha("var:A")
    u = sha("var:" + leaf)
    for _ in range(n):
        u = sha(f"app:{u}:{a}" if left else f"app:{a}:{u}")
    return u


SHAPES = {
    "left": (left_nested, lambda n: "(" * n + "A" + " -> A)" * n),
    "right": (right_nested, lambda n: "(A -> " * n + "A" + ")" * n),
}


@pytest.fixture(scope="module", params=sorted(SHAPES))
def deep(request):
    build, text = SHAPES[request.param]
    return request.param, build(DEEP), build(DEEP), text(DEEP)


# ---- a type a million deep ------------------------------------------------------------

@pytest.mark.slow
def test_printed_forms_and_getters(deep):
    shape, t, _, text = deep
    assert str(t) == text
    assert repr(t).startswith("Application(") and len(repr(t)) > len(text)
    inner = t.left if shape == "left" else t.right
    assert isinstance(inner, Application) and len(str(inner)) == len(text) - 7


@pytest.mark.slow
def test_uid_hash_and_equality(deep):
    shape, t, twin, _ = deep
    assert t.uid() == twin.uid() == expected_uid(DEEP, shape == "left")
    assert hash(t) == hash(twin)
    assert t == twin and not t != twin
    other = left_nested(DEEP, B) if shape == "left" else right_nested(DEEP, B)
    assert t != other and t.uid() != other.uid()
    assert other.uid() == expected_uid(DEEP, shape == "left", "B")


@pytest.mark.slow
def test_terms_nodes_and_edges(deep):
    shape, t, twin, text = deep
    term = Term("f", t)
    assert term.uid() == sha(f"term:f:{t.uid()}") and term == Term("f", twin)
    assert str(term) == f"f:{text}"
    node = Node(t, {"deep": True})
    assert node.uid() == sha("node:" + t.uid()) and node.type == twin
    assert str(node) == f"Node({text})"
    edge = Edge(term, node, Node(A))
    assert edge.uid() == sha("edge:" + term.uid())
    assert edge.term.type == twin and edge.start.type == twin
    if shape == "right":  # an argument of the right type applies
        assert str(Term("g", Application(A, t))(Term("x", A)).type) == text


@pytest.mark.slow
def test_schema_matching(deep):
    shape, t, twin, _ = deep
    assert TypeSchema("$*$").matches(t)
    assert TypeSchema("$(x:*)$").capture(t) == {"x": twin}
    if shape == "left":
        assert TypeSchema("$(x:*) -> A$").capture(t) == {"x": twin.left}
        assert not TypeSchema("$A -> *$").matches(t)
    else:
        assert TypeSchema("$A -> (y:*)$").capture(t) == {"y": twin.right}
        assert not TypeSchema("$* -> A$").matches(t)


@pytest.mark.slow
def test_patterns_and_queries(deep):
    shape, t, twin, _ = deep
    assert NodePattern("n", type=t).variable == "n"
    g = Graph()
    q = g.query().create(node="n", type=t, properties={"depth": DEEP})
    assert [r["n"].uid() for r in q.return_("n")] == [Node(twin).uid()]
    assert list(g.nodes) == [Node(t).uid()]
    assert g.query().match(node="n", type=twin).return_count() == 1
    arrow = "$* -> A$" if shape == "left" else "$A -> *$"
    assert g.query().match(node="n", type_schema=arrow).return_count() == 1
    assert g.query().match(node="n", type_schema="$A -> A$").return_count() == 0
    merged = g.query().merge(node="n", type=twin, properties={"depth": DEEP})
    assert merged.return_count() == 1 and len(g.nodes) == 1
    # A deep node type in a path: the edge's ends are tested against schemas.
    g.edges.clear()
    e = Edge(Term("f", Application(t, A)), Node(t), Node(A))
    g.edges[e.uid()] = e
    assert g.query().match("(n)-[e]->(m:A)").return_count() == 1
    g.query().match(node="n", type=t).delete("n", detach=True).execute()
    assert not g.nodes and not g.edges


def test_releasing_many_deep_types_is_iterative():
    # Neither the last Python reference nor the last holder in the C++ tree
    # (a node, an edge, a term) may release the chain recursively.
    for holder in (lambda t: t, lambda t: Node(t), lambda t: Term("x", t),
                   lambda t: Edge(Term("e", t), Node(t), Node(t))):
        box = [holder(right_nested(NESTING * 3))]
        box.clear()


# ---- long and deeply nested texts ---------------------------------------------------------

def test_schema_text_of_a_million_characters():
    n = LONG // 5
    schema = TypeSchema("$" + "A -> " * n + "A$")
    assert len(schema.pattern) >= LONG
    assert schema.matches(right_nested(n))
    assert not schema.matches(right_nested(n - 1))
    assert not schema.matches(A)
    # Degenerate texts of the same length are schemas too, and quick to refuse.
    for text in ("$" * LONG, "(" * LONG, "A" * LONG, "->" * (LONG // 2), ":" * LONG):
        assert not TypeSchema(text).matches(A)
    assert TypeSchema("A" * LONG).matches(Variable("A" * LONG))


@pytest.mark.parametrize("nested, subject, expected", [
    ("(x:", A, {"x": A}),                        # one name, nested
    ("(x:A -> ", right_nested(NESTING), "chain"),  # groups along a right-nested chain
])
def test_schema_groups_nested_a_hundred_thousand_deep(nested, subject, expected):
    schema = TypeSchema("$" + nested * NESTING + "A" + ")" * NESTING + "$")
    captured = schema.capture(subject)
    if expected == "chain":
        assert set(captured) == {"x"} and captured["x"] == subject
    else:
        assert captured == expected


def test_distinct_groups_nested_a_hundred_thousand_deep():
    subject = right_nested(NESTING)
    text = "$" + "".join(f"(g{i}:A -> " for i in range(NESTING)) + "A" + ")" * NESTING + "$"
    captured = TypeSchema(text).capture(subject)
    assert len(captured) == NESTING
    assert captured["g0"] == subject
    assert captured[f"g{NESTING - 1}"] == Application(A, A)
    assert not TypeSchema(text).matches(right_nested(NESTING - 1))


def test_path_text_of_a_million_characters():
    hops = LONG // len("(a)-[e]->")
    path = PathPattern("(a)-[e]->" * hops + "(b)")
    assert len(path.nodes) == hops + 1 and len(path.edges) == hops
    g = Graph()
    n = Node(A)
    g.nodes[n.uid()] = n
    loop = Edge(Term("f", Application(A, A)), n, n)
    g.edges[loop.uid()] = loop
    # Paths use distinct edges: one loop makes a path of one hop only.
    assert g.query().match("(a)-[e]->" * hops + "(b)").return_count() == 0
    assert g.query().match("(a)-[e]->(b)").return_count() == 1
    created = g.query().create("(a:A)-[e:f]->" * (hops // 10) + "(b:B)")
    assert created.return_count() >= 1


@pytest.mark.parametrize("text, nodes, edges", [
    ("(n:" + "(" * NESTING + "A" + ")" * NESTING + ")", 1, 0),
    ("(a)-" + "[" * NESTING + "]" * NESTING + "->(b)", 2, 1),
    ("(" * NESTING + ")" * NESTING, 1, 0),
])
def test_path_text_nested_a_hundred_thousand_deep(text, nodes, edges):
    path = PathPattern(text)
    assert (len(path.nodes), len(path.edges)) == (nodes, edges)


@pytest.mark.parametrize("text, reason", [
    ("(" * LONG, "Unmatched parentheses in pattern"),
    ("(a)-[e" + "[" * LONG, "Unmatched brackets in pattern"),
    ("(a)" + "-[e]->(b)" * (LONG // 9) + "-[e]->", "Pattern cannot end with an edge"),
])
def test_long_bad_path_texts_are_refused_with_their_reason(text, reason):
    with pytest.raises(ValueError) as err:
        PathPattern(text)
    assert str(err.value).endswith(": " + reason)


def test_condition_texts_long_and_deep():
    g = Graph()
    for i in range(3):
        n = Node(Variable(f"N{i}"), {"a": i})
        g.nodes[n.uid()] = n
    long_or = " OR ".join(["n.a = 7"] * (LONG // 11) + ["n.a = 2"])
    assert len(long_or) >= LONG
    assert g.query().match(node="n").where(long_or).return_count() == 1
    listed = "n.a IN [" + ", ".join(["9"] * (LONG // 3)) + ", 1]"
    assert g.query().match(node="n").where(listed).return_count() == 1
    assert g.query().match(node="n").where("n.a = '" + "x" * LONG + "'").return_count() == 0
    for deep in ("(" * NESTING + "n.a = 1" + ")" * NESTING, "NOT " * NESTING + "n.a",
                 "n.a IN " + "[" * NESTING + "]" * NESTING):
        with pytest.raises(ValueError, match="nested too deeply"):
            g.query().where(deep)
