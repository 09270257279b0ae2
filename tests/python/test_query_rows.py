"""Row operations: where, order_by, skip, limit, with_, distinct rows and
property projections."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel import Application, Edge, Graph, Node, Term, Variable

PEOPLE = [("Ann", 30, "x"), ("Bob", 10, None), ("Cy", None, "y"), ("Dee", 20, "x")]


@pytest.fixture
def g():
    g = Graph()
    for name, age, team in PEOPLE:
        props = {"name": name}
        if age is not None:
            props["age"] = age
        if team is not None:
            props["team"] = team
        n = Node(Variable(name), props)
        g.nodes[n.uid()] = n
    return g


def names(rows, var="n"):
    return [r[var].properties["name"] for r in rows]


def where(g, cond):
    return names(g.query().match(node="n").where(cond).return_("n"))


@pytest.mark.parametrize("cond,expected", [
    ("n.age > 15", ["Ann", "Dee"]),
    ("n.age >= 20", ["Ann", "Dee"]),
    ("n.age < 20", ["Bob"]),
    ("n.age <= 20", ["Bob", "Dee"]),
    ("n.age = 30", ["Ann"]),
    ("n.age = 30.0", ["Ann"]),
    ("n.age <> 30", ["Bob", "Dee"]),
    ("n.age != 30", ["Bob", "Dee"]),
    ("n.age > -1", ["Ann", "Bob", "Dee"]),
    ("n.name = 'Ann'", ["Ann"]),
    ('n.name = "Ann"', ["Ann"]),
    ("n.age IS NULL", ["Cy"]),
    ("n.age IS NOT NULL", ["Ann", "Bob", "Dee"]),
    ("n.team IN ['x']", ["Ann", "Dee"]),
    ("n.team NOT IN ['x']", ["Cy"]),
    ("n.name STARTS WITH 'D'", ["Dee"]),
    ("n.name ENDS WITH 'b'", ["Bob"]),
    ("n.name CONTAINS 'e'", ["Dee"]),
    ("n.age CONTAINS 'e'", []),
    ("n:Ann", ["Ann"]),
    ("n:$*$", ["Ann", "Bob", "Cy", "Dee"]),
    ("n:$* -> *$", []),
    ("n.age", ["Ann", "Bob", "Dee"]),
    ("n", ["Ann", "Bob", "Cy", "Dee"]),
    ("n = n", ["Ann", "Bob", "Cy", "Dee"]),
    ("n.missing = null", []),
    ("true", ["Ann", "Bob", "Cy", "Dee"]),
    ("false OR null", []),
])
def test_operators(g, cond, expected):
    assert where(g, cond) == expected


@pytest.mark.parametrize("cond,expected", [
    # NOT binds tighter than AND, AND tighter than OR.
    ("n.age > 25 OR n.age < 15 AND n.team = 'x'", ["Ann"]),
    ("(n.age > 25 OR n.age < 15) AND n.team IS NULL", ["Bob"]),
    ("NOT n.age > 15 OR n.name = 'Cy'", ["Bob", "Cy"]),
    ("NOT NOT n.age > 15", ["Ann", "Dee"]),
    ("n.age > 15 and n.team = 'x' Or n.name = 'Bob'", ["Ann", "Bob", "Dee"]),
])
def test_precedence_and_case_insensitive_keywords(g, cond, expected):
    assert where(g, cond) == expected


@pytest.mark.parametrize("cond,expected", [
    # A missing property makes comparisons unknown; only true keeps a row,
    # and NOT of unknown stays unknown.
    ("NOT n.age > 15", ["Bob"]),
    ("n.age > 15 OR n.team = 'y'", ["Ann", "Cy", "Dee"]),
    ("NOT (n.age > 15 AND n.team = 'x')", ["Bob", "Cy"]),
    ("n.age > 15 OR NOT n.age > 15", ["Ann", "Bob", "Dee"]),
    # Ordering across kinds is unknown rather than an error.
    ("n.name > 3", []),
    ("NOT n.name > 3", []),
])
def test_three_valued_logic(g, cond, expected):
    assert where(g, cond) == expected


@pytest.mark.parametrize("cond,message", [
    ("n.age >", "expected a value after '>' at position 7"),
    ("", "empty condition"),
    ("(n.age > 1", "expected ')' to close '(' at position 0"),
    ("n.age > 1 n", "at position 10"),
    ("n.name = 'open", "unterminated string starting at position 9"),
    ("n.", "expected a key after '.' at position 2"),
    ("n.age IS 3", "expected NULL after IS at position 9"),
    ("lower(n.name", "expected ')' to close '(' at position 5"),
    ("foo(n) = 1", "unknown function 'foo' at position 0"),
    ("count(n) > 1", "aggregate count() is not allowed in a condition at position 0"),
    ("upper(n.name, n.age)", "upper() takes exactly 1 argument (2 given) at position 0"),
    ("n.name = $", "expected a parameter name after '$' at position 10"),
    ("n.name IN [$a]", "a parameter cannot stand inside a list at position 11"),
    ("n:list[str", "expected ']' to close '[' at position 6"),
])
def test_malformed_conditions_fail_at_the_call(g, cond, message):
    q = g.query().match(node="n")
    with pytest.raises(ValueError) as e:
        q.where(cond)
    text = str(e.value)
    assert text.startswith("Invalid query: ") and text.endswith(" (where)")
    assert message in text
    # Nothing was queued: the query still returns every node.
    assert len(q.return_("n")) == 4


def test_unbound_variable_is_a_name_error(g):
    with pytest.raises(NameError, match=r"^Variable 'x' not found \(where\)$"):
        g.query().match(node="n").where("x.age > 1").return_("n")


def test_exceptions_from_user_code_stop_the_run():
    class Boom:
        def __eq__(self, other):
            raise ZeroDivisionError

        def __lt__(self, other):
            raise KeyError("lt")

        __hash__ = None

    g = Graph()
    for name in "AB":
        n = Node(Variable(name), {"v": Boom()})
        g.nodes[n.uid()] = n
    with pytest.raises(ZeroDivisionError):
        g.query().match(node="n").where("n.v = 1").return_("n")
    with pytest.raises(KeyError):
        g.query().match(node="n").where("n.v < 1").return_("n")
    with pytest.raises(KeyError):
        g.query().match(node="n").order_by("n", "v").return_("n")


@pytest.fixture
def ragged(g):
    # n has four values, m only the first two nodes: rows are ragged.
    return g.query().match(node="n").match(node="m", properties={"team": "x"})


def test_filtering_keeps_rows_aligned(ragged):
    rows = ragged.where("n.age < 25").return_("n", "m")
    # Row 1 (Bob, with m = Dee) and row 3 (Dee, no m) survive.
    assert [(r["n"].properties["name"], r.get("m") and r["m"].properties["name"]) for r in rows] == [
        ("Bob", "Dee"), ("Dee", None)]


def test_sorting_and_paging_move_whole_rows(ragged):
    rows = ragged.order_by("n", "age", ascending=False).return_("n", "m")
    assert names(rows) == ["Cy", "Ann", "Dee", "Bob"]
    # m travels with its row: Ann's row holds Ann, Bob's holds Dee.
    assert {r["n"].properties["name"]: r["m"].properties["name"] for r in rows if "m" in r} == {
        "Ann": "Ann", "Bob": "Dee"}
    assert ragged.order_by("n", "age").return_count() == 4


def test_sort_order_rules():
    g = Graph()
    values = [3, "b", None, 1.5, "a", (1,), True]
    for i, v in enumerate(values):
        props = {"i": i} if v is None else {"i": i, "k": v}
        n = Node(Variable(f"N{i}"), props)
        g.nodes[n.uid()] = n
    q = g.query().match(node="n")
    asc = [r["n"].properties["i"] for r in q.order_by("n", "k").return_("n")]
    # Numbers (bool counts as one), then strings, then the rest; nulls last.
    assert asc == [6, 3, 0, 4, 1, 5, 2]
    desc = [r["n"].properties["i"] for r in g.query().match(node="n").order_by("n", "k", ascending=False).return_("n")]
    assert desc == [2, 5, 1, 4, 0, 3, 6]


def test_consecutive_order_by_is_one_sort_with_primary_first(g):
    rows = g.query().match(node="n").order_by("n", "team").order_by("n", "age", ascending=False).return_("n")
    assert names(rows) == ["Ann", "Dee", "Cy", "Bob"]


def test_sort_is_stable_when_values_cannot_be_ordered():
    g = Graph()
    for i, v in enumerate([{"a": 1}, {"b": 2}, {"c": 3}]):
        n = Node(Variable(f"N{i}"), {"i": i, "k": v})
        g.nodes[n.uid()] = n
    rows = g.query().match(node="n").order_by("n", "k").return_("n")
    assert [r["n"].properties["i"] for r in rows] == [0, 1, 2]


@pytest.mark.parametrize("ops,expected", [
    (lambda q: q.skip(1), ["Bob", "Cy", "Dee"]),
    (lambda q: q.limit(2), ["Ann", "Bob"]),
    (lambda q: q.skip(1).limit(2), ["Bob", "Cy"]),
    (lambda q: q.limit(0), []),
    (lambda q: q.skip(10), []),
    (lambda q: q.limit(2**64 - 1), ["Ann", "Bob", "Cy", "Dee"]),
    (lambda q: q.order_by("n", "age").limit(2), ["Bob", "Dee"]),
])
def test_skip_and_limit(g, ops, expected):
    assert names(ops(g.query().match(node="n")).return_("n")) == expected


def test_with_keeps_only_the_named_bindings(ragged):
    q = ragged.with_("m", "unbound")
    rows = q.return_("n", "m")
    assert all(set(r) == {"m"} for r in rows) and len(rows) == 2
    assert q.return_count() == 2
    assert ragged.with_().return_count() == 0


def test_projections(ragged):
    rows = ragged.return_("n.name", "n.age", "m")
    assert rows[0] == {"n.name": "Ann", "n.age": 30, "m": rows[0]["m"]}
    assert rows[2] == {"n.name": "Cy"}  # no age, no m
    assert ragged.return_("x.name") == []


def test_bound_variable_named_like_a_projection_wins():
    g = Graph()
    n = Node(Variable("A"), {"name": "a"})
    g.nodes[n.uid()] = n
    rows = g.query().match(node="n.name").match(node="n").return_("n.name")
    assert isinstance(rows[0]["n.name"], Node)


def test_return_distinct_drops_repeated_rows():
    g = Graph()
    a = Node(Variable("A"), {"team": "x"})
    g.nodes[a.uid()] = a
    q = g.query().merge(node="n", type=Variable("A"))
    q.return_("n")
    assert len(q.return_("n")) == 2  # each run's merge appends the node it found
    assert len(q.return_distinct("n")) == 1
    assert q.return_distinct("n.team") == [{"n.team": "x"}]


def test_return_distinct_compares_every_key(g):
    q = g.query().match(node="n").match(node="m", properties={"name": "Ann"})
    rows = q.return_distinct("n.team", "m")
    # Rows 0 and 3 both project team "x", but only row 0 holds m; Bob's row
    # has neither and is empty.
    assert [sorted(r) for r in rows] == [["m", "n.team"], ["n.team"], ["n.team"]]
    assert g.query().match(node="n").return_distinct("n.team") == [{"n.team": "x"}, {"n.team": "y"}]


def test_edges_in_conditions_and_distinct():
    g = Graph()
    A, B = Variable("A"), Variable("B")
    a, b = Node(A), Node(B)
    for n in (a, b):
        g.nodes[n.uid()] = n
    for name, w in [("f", 1), ("h", 5)]:
        e = Edge(Term(name, Application(A, B)), a, b, {"w": w})
        g.edges[e.uid()] = e
    q = g.query().match("(x)-[e]->(y)")
    assert [r["e"].term.name for r in q.where("e.w > 2").return_("e")] == ["h"]
    assert len(q.return_distinct("x", "y")) == 1
    assert len(g.query().match("(x)-[e:$A -> B$]->(y)").where("e:$A -> B$").return_("e")) == 2


TOKENS = st.sampled_from(["n", "m", ".", "age", "name", "(", ")", "[", "]", ",", "=", "<>", "<", ">=", "'s'",
                          '"q\\n"', "1", "-2", "3.5", "AND", "or", "NOT", "IS", "NULL", "IN", "STARTS", "WITH",
                          "ENDS", "CONTAINS", "true", ":", "$* -> *$", "Person", " ", "\\", "'", "$", "\u00a0"])


@settings(max_examples=300, deadline=None)
@given(st.lists(TOKENS, max_size=12).map(" ".join))
def test_condition_parser_only_raises_the_specified_error(text):
    g = Graph()
    n = Node(Variable("A"), {"age": 3, "name": "s"})
    g.nodes[n.uid()] = n
    q = g.query().match(node="n").match(node="m")
    try:
        q2 = q.where(text)
    except ValueError as e:
        assert str(e).startswith("Invalid query: ") and str(e).endswith(" (where)")
        return
    try:
        rows = q2.return_("n", "m")
    except NameError as e:
        assert str(e).endswith(" not found (where)")  # a bare word is a variable
        return
    assert isinstance(rows, list)


class Refuses:
    def __eq__(self, other):
        raise ZeroDivisionError("asked")

    __hash__ = object.__hash__


@pytest.mark.parametrize("value, run, outcome", [
    # Python's == asks the object even when it meets itself: NaN differs from itself.
    (float("nan"), lambda q: q.where("n.k = n.k").return_("n"), []),
    (float("nan"), lambda q: q.return_distinct("n.k", "m.k"), 2),
    (Refuses(), lambda q: q.where("n.k = n.k").return_("n"), ZeroDivisionError),
    (Refuses(), lambda q: q.return_distinct("n.k", "m.k"), ZeroDivisionError),
])
def test_equality_is_pythons_eq_without_the_identity_short_cut(value, run, outcome):
    g = Graph()
    for name in "XY":
        node = Node(Variable(name), {"k": value})
        g.nodes[node.uid()] = node
    q = g.query().match(node="n").match(node="m", properties={})
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            run(q)
    elif isinstance(outcome, int):
        assert len(run(q)) == outcome
    else:
        assert run(q) == outcome


EDGE_NUMBERS = [0, 1, -1, 2 ** 63 - 1, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 10 ** 30, True, False, 1.0, -0.0,
                float("nan"), float("inf"), 1.5, "1", None]


def test_property_maps_compare_numbers_as_python_does():
    # Plain values are compared without calling into Python; every pair must
    # still agree with ==, across int sizes, bool, float and NaN.
    g = Graph()
    node = Node(Variable("A"), {"k": None})
    g.nodes["a"] = node
    for stored in EDGE_NUMBERS:
        node.properties = {"k": stored}
        for wanted in EDGE_NUMBERS:
            by_map = g.query().match(node="n", properties={"k": wanted}).return_count()
            by_param = g.query().match("(n {k: $v})").parameters(v=wanted).return_count()
            assert by_map == by_param == int(stored == wanted), (stored, wanted)


@pytest.mark.parametrize("type_text", ["list[str]", "A -> B", "A->B", "pkg.T", "dict[str, int]", "$* -> *$",
                                       "Literal['r']", "A -> *"])
def test_type_tests_read_types_as_node_patterns_do(type_text):
    g = Graph()
    A, B = Variable("A"), Variable("B")
    for t in (A, Application(A, B), Variable("list[str]"), Variable("pkg.T"), Variable("dict[str, int]"),
              Variable("Literal['r']")):
        n = Node(t, {"name": str(t)})
        g.nodes[n.uid()] = n
    by_where = names(g.query().match(node="n").where(f"n:{type_text}").return_("n"))
    by_match = names(g.query().match(f"(n:{type_text})").return_("n"))
    assert by_where == by_match and by_where


SORTABLE = st.one_of(st.integers(), st.floats(allow_nan=False), st.text(max_size=3))
# Values whose hashes collide (hash(-1) == hash(-2), hash(2**61 - 1) == hash(0)) or that are equal across types.
COLLIDING = st.sampled_from([0, -1, -2, 2 ** 61 - 1, 2 ** 62, 1, 1.0, True, "a", "b", 0.5])


@settings(max_examples=60, deadline=None)
@given(keys=st.lists(SORTABLE, max_size=40), ascending=st.booleans())
def test_order_by_agrees_with_a_stable_sort(keys, ascending):
    g = Graph()
    for i, k in enumerate(keys):
        n = Node(Variable(f"N{i}"), {"i": i, "k": k})
        g.nodes[n.uid()] = n
    rows = g.query().match(node="n").order_by("n", "k", ascending=ascending).return_("n")

    def group(k):
        return 1 if isinstance(k, str) else 0

    if ascending:
        want = sorted(range(len(keys)), key=lambda i: (group(keys[i]), keys[i]))
    else:  # a descending sort keeps equal keys in their order too
        want = sorted(range(len(keys)), key=lambda i: (-group(keys[i]), _Rev(keys[i])))
    assert [r["n"].properties["i"] for r in rows] == want


class _Rev:
    def __init__(self, v):
        self.v = v

    def __lt__(self, other):
        return other.v < self.v


@settings(max_examples=60, deadline=None)
@given(values=st.lists(COLLIDING, max_size=300))
def test_distinct_and_grouping_agree_with_a_dict(values):
    g = Graph()
    for i, v in enumerate(values):
        n = Node(Variable(f"N{i}"), {"k": v})
        g.nodes[n.uid()] = n
    q = g.query().match(node="n")
    firsts = list(dict.fromkeys(values))  # first of each == class, in order
    assert [r["n.k"] for r in q.return_distinct("n.k")] == firsts
    counts = {}
    for v in values:
        counts[v] = counts.get(v, 0) + 1
    got = g.query().match(node="n").return_("n.k", "count(*) AS c")
    assert [(r["n.k"], r["c"]) for r in got] == list(counts.items())


@settings(max_examples=60, deadline=None)
@given(values=st.lists(st.sampled_from([b"a", bytearray(b"a"), {1}, frozenset({1}), [1], [1.0], 1, "a", None]),
                       max_size=30))
def test_distinct_rows_meet_across_hashable_and_unhashable_values(values):
    g = Graph()
    for i, v in enumerate(values):
        g.nodes[f"n{i}"] = Node(Variable(f"N{i}"), {"k": v})
    firsts = []
    for v in values:
        if not any(w == v for w in firsts):
            firsts.append(v)
    got = [r["n.k"] for r in g.query().match(node="n").return_distinct("n.k")]
    assert got == firsts
    counted = len([v for v in firsts if v is not None])  # nulls are not counted
    assert g.query().match(node="n").return_("count(DISTINCT n.k) AS c") == [{"c": counted}]
