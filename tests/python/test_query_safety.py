"""Runs call user code (property values' __eq__/__bool__, dict keys' __hash__/__eq__,
finalizers). Whatever that code does, a run ends in a result or a Python exception."""

import gc
import weakref

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from quorvel import Application, Edge, Graph, Node, Query, Term, Variable

A, B, C, Z = Variable("A"), Variable("B"), Variable("C"), Variable("Z")
CHANGED = "dictionary changed size during iteration"


def put(g, node):
    g.nodes[node.uid()] = node
    return node


class Hook:
    """Equal to anything. Runs `on_eq` when compared and `on_bool` when the comparison's
    result is tested for truth."""

    def __init__(self, on_eq=None, on_bool=None):
        self.on_eq, self.on_bool = on_eq, on_bool

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return self

    def __bool__(self):
        if self.on_bool:
            self.on_bool()
        return True

    __hash__ = object.__hash__


def graph_with_hooks(**hook):
    g = Graph()
    a, b = put(g, Node(A, {"k": Hook(**hook)})), put(g, Node(B, {"k": Hook(**hook)}))
    put(g, Node(C, {"k": 0}))
    e = Edge(Term("f", Application(A, B)), a, b)
    g.edges[e.uid()] = e
    return g


MUTATIONS = {
    "add node": lambda g: put(g, Node(Variable(f"X{len(g.nodes)}"))),
    "clear nodes": lambda g: g.nodes.clear(),
    "clear edges": lambda g: g.edges.clear(),
    "clear properties": lambda g: [n.properties.clear() for n in list(g.nodes.values())],
    "replace properties": lambda g: [setattr(n, "properties", {}) for n in list(g.nodes.values())],
    "collect": lambda g: gc.collect(),
}
FORMS = {
    "untyped match": (lambda q: q.match(node="n", properties={"k": 1}), {"Node(A)", "Node(B)"}),
    "typed match": (lambda q: q.match(node="n", type=B, properties={"k": 1}), {"Node(B)"}),
    "merge": (lambda q: q.merge(node="n", properties={"k": 1}), {"Node(A)"}),
}


@pytest.mark.parametrize("hook", ["on_eq", "on_bool"])
@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("form", FORMS)
def test_callbacks_mutating_the_graph(hook, mutation, form):
    g = None
    g = graph_with_hooks(**{hook: lambda: MUTATIONS[mutation](g)})
    build, expected = FORMS[form]
    q = build(g.query())
    for _ in range(2):
        try:
            rows = q.return_("n")
        except RuntimeError as e:
            assert str(e) == CHANGED
        else:  # values as they were when the match began, or as they are now
            assert {str(r["n"]) for r in rows} <= expected
            assert all(isinstance(r["n"], Node) for r in rows)


@pytest.mark.parametrize("hook", ["on_eq", "on_bool"])
@pytest.mark.parametrize(
    "reenter",
    [
        lambda q: q.return_count(),
        lambda q: q.execute(),
        lambda q: q.match(node="m"),
        lambda q: q.set("n", {}),
    ],
)
def test_reentering_the_running_query_is_refused(hook, reenter):
    box = []
    g = graph_with_hooks(**{hook: lambda: reenter(box[0])})
    box.append(g.query().match(node="n", properties={"k": 1}))
    with pytest.raises(RuntimeError, match="^Query object is already in use$"):
        box[0].return_("n")
    g.nodes.clear()
    assert box[0].return_("n") == []  # the refusal left the query usable


def test_another_query_of_the_same_graph_may_run_inside_a_callback():
    other = []
    g = graph_with_hooks(on_eq=lambda: other[0].return_count())
    other.append(g.query().create(node="z", type=Z))
    rows = g.query().match(node="n", type=A, properties={"k": 1}).return_("n")
    assert [str(r["n"]) for r in rows] == ["Node(A)"] and Node(Z).uid() in g.nodes


class Boom(Exception):
    pass


def boom():
    raise Boom("from the callback")


@pytest.mark.parametrize("hook", ["on_eq", "on_bool"])
@pytest.mark.parametrize("form", FORMS)
def test_callback_exception_propagates(hook, form):
    g = graph_with_hooks(**{hook: boom})
    with pytest.raises(Boom, match="from the callback"):
        FORMS[form][0](g.query()).return_("n")
    assert len(g.nodes) == 3


def test_raising_property_lookup_counts_as_mismatch():
    class Collider:
        def __hash__(self):
            return hash("k")

        def __eq__(self, other):
            raise Boom("lookup")

    g = Graph()
    put(g, Node(A, {Collider(): 1}))
    assert g.query().match(node="n", properties={"k": 1}).return_("n") == []


@pytest.mark.parametrize("kwargs", [{}, {"type": A}])
def test_node_being_changed_elsewhere_gives_borrow_error(kwargs):
    g, seen = Graph(), []

    class ProbeOnRelease:
        def __del__(self):
            try:
                seen.append(g.query().match(node="n", **kwargs).return_count())
            except RuntimeError as e:
                seen.append(str(e))

    node = put(g, Node(A, {"p": ProbeOnRelease()}))
    node.properties = {}  # releases the old dict while the setter holds the node
    assert seen == ["Node object is already in use"]


class ArmedKey(str):
    """A str whose hashing and comparing run `action` while it is set."""

    action = None

    def __hash__(self):
        if ArmedKey.action:
            ArmedKey.action()
        return str.__hash__(self)

    def __eq__(self, other):
        if ArmedKey.action:
            ArmedKey.action()
        return str.__eq__(self, other)


@pytest.fixture
def armed():
    yield ArmedKey
    ArmedKey.action = None


def swap_keys(d):
    d.pop("other", None)
    d["new"] = 3


@pytest.mark.parametrize(
    "mutate, must_fail",
    [
        (lambda d: d.__setitem__("extra", 1), True),
        (lambda d: d.pop("other", None), True),
        (lambda d: d.clear(), True),
        (swap_keys, False),  # same size: either outcome, but no crash
    ],
)
@pytest.mark.parametrize("collide", [False, True])  # True: the key's __eq__ runs too
def test_set_dict_mutated_by_its_keys(armed, mutate, must_fail, collide):
    g = Graph()
    node = put(g, Node(A, {"k": 0} if collide else {}))
    put(g, Node(B))  # a second target walks the dict again
    d = {ArmedKey("k"): 1, "other": 2}
    q = g.query().match(node="n").set("n", d)
    armed.action = lambda: mutate(d)
    try:
        q.return_()
    except RuntimeError as e:
        assert str(e) == CHANGED
    else:
        assert not must_fail
    armed.action = None
    assert set(node.properties) <= {"k", "other", "new"}


def test_set_accepts_any_hashable_key():
    g = Graph()
    node = put(g, Node(A))
    g.query().match(node="n").set("n", {1: "one", (2, 3): "pair"}).return_()
    assert node.properties == {1: "one", (2, 3): "pair"}


def test_node_key_hash_running_user_code_during_typed_lookup(armed):
    g = Graph()
    g.nodes[ArmedKey("k")] = Node(A)
    put(g, Node(B))
    q = g.query().match(node="n", type=A)
    armed.action = boom
    with pytest.raises(Boom):
        q.return_("n")
    armed.action = g.nodes.clear
    try:
        rows = q.return_("n")
    except RuntimeError as e:
        assert str(e) == CHANGED
    else:
        assert [str(r["n"]) for r in rows] in ([], ["Node(A)"])


# ---- cycles through a query are collected ---------------------------------------


def through_pattern(g, canary):
    q = g.query()
    canary.q = q.match(node="n", properties={"k": canary})  # held by q and by the copy
    canary.q0 = q


def through_edge_form(g, canary):
    canary.q = g.query().match(edge="e", properties={"c": canary})


def through_set(g, canary):
    canary.q = g.query().set("n", {"q": canary})


def through_node_binding(g, canary):
    put(g, Node(A, {"c": canary}))
    canary.q = g.query().match(node="n")
    canary.q.return_count()
    g.nodes.clear()  # only the binding holds the node now


def through_edge_binding(g, canary):
    e = Edge(Term("f", A), Node(A, {"c": canary}), Node(B))
    g.edges[e.uid()] = e
    canary.q = g.query().match("(n)-[e]->(m)").match(node="n", type=Z)
    canary.q.return_count()
    g.edges.clear()  # only the edge binding holds its start node's dict now


@pytest.mark.parametrize(
    "make",
    [through_pattern, through_edge_form, through_set, through_node_binding, through_edge_binding],
)
def test_cycles_through_a_query_are_collected(make):
    class Canary:
        pass

    g, canary = Graph(), Canary()
    make(g, canary)
    gone = weakref.finalize(canary, lambda: None)
    del g, canary
    gc.collect()
    assert not gone.alive


# ---- random sequences of graph edits and query calls -----------------------------

TYPES = [A, B, C, Application(A, B)]
PATTERNS = ["(n)", "(n:A)", "(n)-[e]->(m)", "(n:A)-[e]->(m:B)", "(a)-[e]->(a)", "(n)-[e:A -> B]->(m)"]
PATTERNS += ["(a)-[r]->(b)<-[s]-(c)", "()", "(a)-[e]->", ""]
NAMES = st.sampled_from(["n", "m", "e", "a", "b", "zz"])
JUNK = st.sampled_from([5, None, "node", Node(A), Edge(Term("t", A), Node(A), Node(B))])
DICTS = st.sampled_from(["nodes", "edges"])


class QueryMachine(RuleBasedStateMachine):
    @initialize()
    def setup(self):
        self.g = Graph()
        self.queries = [self.g.query()]

    @rule(t=st.sampled_from(TYPES), v=st.integers(0, 2))
    def add_node(self, t, v):
        put(self.g, Node(t, {"v": v}))

    @rule(name=st.sampled_from("fgh"), s=st.sampled_from(TYPES), t=st.sampled_from(TYPES))
    def add_edge(self, name, s, t):
        e = Edge(Term(name, Application(s, t)), Node(s, {"v": 0}), Node(t))
        self.g.edges[e.uid()] = e

    @rule(where=DICTS, key=st.sampled_from(["junk", 7]), value=JUNK)
    def add_junk(self, where, key, value):
        getattr(self.g, where)[key] = value

    @rule(where=DICTS, i=st.integers(0, 10))
    def delete_key(self, where, i):
        d = getattr(self.g, where)
        if d:
            del d[list(d)[i % len(d)]]

    @rule(i=st.integers(0, 50), name=NAMES, t=st.sampled_from(TYPES + [None]), data=st.data())
    def build(self, i, name, t, data):
        q = self.queries[i % len(self.queries)]
        props = data.draw(st.sampled_from([None, {"v": 0}, {"v": 1.0}]))
        calls = {
            "pattern": lambda: q.match(data.draw(st.sampled_from(PATTERNS))),
            "node": lambda: q.match(node=name, type=t, properties=props),
            "create": lambda: q.create(node=name, type=t, properties=props),
            "merge": lambda: q.merge(node=name, type=t, properties=props),
            "merge edge": lambda: q.merge(edge=name, start=data.draw(NAMES), end=data.draw(NAMES)),
            "set": lambda: q.set(name, {"v": data.draw(st.integers(0, 2))}),
            "delete": lambda: q.delete(name, detach=data.draw(st.booleans())),
            "queued": lambda: q.where(f"{name}.v > 1").with_(name).order_by(name, "v").limit(2).skip(0),
        }
        kind = data.draw(st.sampled_from(sorted(calls)))
        try:
            r = calls[kind]()
        except ValueError as e:
            assert kind == "pattern" and str(e).startswith("Invalid pattern")
            return
        assert isinstance(r, Query) and r is not q
        self.queries.append(r)

    @rule(i=st.integers(0, 50), names=st.lists(NAMES, max_size=3), how=st.sampled_from(range(4)))
    def run(self, i, names, how):
        q = self.queries[i % len(self.queries)]
        try:
            if how == 0:
                n = q.return_count()
                assert isinstance(n, int) and n >= 0
            elif how == 1:
                self.queries.append(q.execute())
            else:
                rows = (q.return_ if how == 2 else q.return_distinct)(*names)
                assert isinstance(rows, list)
                for row in rows:
                    assert type(row) is dict and row and set(row) <= set(names)
                    assert all(isinstance(v, (Node, Edge)) for v in row.values())
        except TypeError:
            assert self.has_junk()
        except NameError as e:
            # A where-condition naming a variable that is not bound.
            assert "(where)" in str(e)

    def has_junk(self):
        nodes, edges = self.g.nodes.items(), self.g.edges.values()
        return any(not (isinstance(k, str) and isinstance(v, Node)) for k, v in nodes) or any(
            not isinstance(v, Edge) for v in edges
        )

    @invariant()
    def graph_prints_its_counts(self):
        assert str(self.g) == f"Graph({len(self.g.nodes)} nodes, {len(self.g.edges)} edges)"


QueryMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
test_random_query_sequences = QueryMachine.TestCase


def test_long_queues_are_released_without_recursion():
    q = Graph().query()
    for _ in range(200_000):
        q.limit(1)
    copy = q.skip(0)
    del q
    assert copy.return_count() == 0
    del copy


def test_shared_bindings_are_copied_before_a_change():
    g = Graph()
    for name in "AB":
        n = Node(Variable(name))
        g.nodes[n.uid()] = n
    first = g.query().merge(node="n", type=Variable("A"))
    first.return_("n")                    # one value
    second = first.execute()              # both now hold the same two values
    assert len(second.return_("n")) == 3
    assert len(second.return_("n")) == 4
    assert len(first.return_("n")) == 3   # untouched by the runs of second


def test_bindings_stay_valid_when_a_finalizer_takes_references():
    # A finalizer running inside a run may reach the query's internals through
    # the collector; the run must keep working on its own bindings.
    grabbed = []

    class Grabber:
        def __eq__(self, other):
            grabbed.extend(gc.get_referents(query))
            gc.collect()
            return True

        __hash__ = object.__hash__

    g = Graph()
    n = Node(Variable("A"), {"k": Grabber()})
    g.nodes[n.uid()] = n
    query = g.query().match(node="n").match(node="m", properties={"k": 1}).merge(node="n", type=Variable("A"))
    for _ in range(3):
        rows = query.return_("n", "m")
        assert len(rows) >= 1
    grabbed.clear()
    gc.collect()


def test_walk_owns_the_next_entry_before_releasing_the_previous_key():
    # Releasing the previous key runs its finalizer, which empties the dict while the
    # walk still needs the next value.
    g, n = Graph(), Node(A)

    class K(str):
        def __del__(self):
            g.edges.clear()

    class P:
        fired = False

        def __eq__(self, other):
            if not P.fired:
                P.fired = True
                key = [k for k in g.edges if type(k) is K][0]
                del g.edges[key]
                del key
                g.edges["x"] = Edge(Term("x", A), n, n)  # same size: the walk goes on
            return False

    g.edges[K("k1")] = Edge(Term("t1", A), n, n, {"p": P()})
    g.edges["k2"] = Edge(Term("t2", A), n, n, {"p": 2})
    try:
        g.query().match(edge="e", properties={"p": 1}).return_("e")
    except RuntimeError as err:
        assert str(err) == CHANGED
