"""Hostile user code inside every kind of query operation.

Property values and dict keys run an action from their __eq__, __hash__, __lt__,
__bool__ (of what __eq__ returns) or __del__: they change graph.nodes and
graph.edges, their own node's properties, the dict the query was given, call back
into the running query, raise, or collect garbage. Whatever they do, an
operation ends in a Python exception or in a result that is still right about
what it returned; never in a crash, a hang, or an object freed twice.

Every hostile object is a canary: it is registered alive when made and
unregistered by its finalizer, so a second finalization of the same object, or
one that outlives everything that held it, is seen.
"""

import contextlib
import gc
import itertools

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from quorvel import Application, Edge, Graph, Node, Term, Variable

A, B, C, D = (Variable(n) for n in "ABCD")
BUSY = "Query object is already in use"
CHANGED = "dictionary changed size during iteration"


# ---- canaries ---------------------------------------------------------------------------

class Canary:
    """Alive from __init__ to __del__; a finalizer finding its token gone means the
    object was finalized twice."""

    alive = set()
    freed_twice = []
    tokens = itertools.count()

    def __init__(self):
        self.token = next(Canary.tokens)
        Canary.alive.add(self.token)

    def __del__(self):
        try:
            Canary.alive.remove(self.token)
        except KeyError:
            Canary.freed_twice.append(self.token)


class Arena:
    """What the hostile objects do: the armed trigger, the action and a budget that
    bounds how often it runs (a hang would otherwise be one action away)."""

    trigger = None
    action = None
    budget = 0
    fired = 0
    swallowed = []  # exceptions raised by actions inside __del__

    @classmethod
    def arm(cls, trigger, action, budget=8):
        cls.trigger, cls.action, cls.budget, cls.fired = trigger, action, budget, 0

    @classmethod
    def disarm(cls):
        cls.trigger = cls.action = None

    @classmethod
    @contextlib.contextmanager
    def quiet(cls):
        """Unarmed for the test's own bookkeeping, then armed as before."""
        saved = cls.trigger
        cls.trigger = None
        try:
            yield
        finally:
            cls.trigger = saved

    @classmethod
    def fire(cls, trigger):
        if cls.trigger != trigger or cls.action is None or cls.fired >= cls.budget:
            return
        cls.fired += 1
        cls.action()


class Hostile(Canary):
    """A property value equal to 1 (and to any other of its kind) that runs the armed action from its comparisons
    and its finalizer."""

    def __eq__(self, other):
        Arena.fire("eq")
        return Verdict(isinstance(other, Hostile) or other == 1)

    def __ne__(self, other):
        return not (self == other)

    def __lt__(self, other):
        Arena.fire("eq")
        return Verdict(self.token < getattr(other, "token", -1))

    __hash__ = Canary.__hash__

    def __del__(self):
        finalizing()
        super().__del__()


class HostileKey(Hostile):
    """A dict key hashing like "k" (so looking "k" up compares with it) but equal
    only to itself; hashing it runs the action too."""

    def __eq__(self, other):
        Arena.fire("eq")
        return Verdict(other is self)

    def __hash__(self):
        Arena.fire("hash")
        return hash("k")


def finalizing():
    if Arena.trigger == "del":
        try:
            Arena.fire("del")
        except Exception as e:  # a finalizer cannot raise; keep it for the test
            Arena.swallowed.append(e)


class Verdict(Canary):
    """The result of a hostile comparison: its truth and its release run the action."""

    def __init__(self, truth):
        super().__init__()
        self.truth = bool(truth)

    def __bool__(self):
        Arena.fire("bool")
        return self.truth

    def __del__(self):
        finalizing()
        super().__del__()


@pytest.fixture(autouse=True)
def arena():
    Canary.freed_twice.clear()
    Arena.swallowed.clear()
    yield Arena
    Arena.disarm()
    assert Canary.freed_twice == []


# ---- the hostile graph ------------------------------------------------------------------

def hostile_props(i, keys=True):
    """A hostile value under "k", and a hostile key colliding with "k"."""
    props = {HostileKey(): i} if keys else {}
    props.update({"k": Hostile(), "v": i})
    return props


def put(g, node):
    g.nodes[node.uid()] = node
    return node


def link(g, name, start, end, keys=True):
    e = Edge(Term(name, Application(start.type, end.type)), start, end, hostile_props(9, keys))
    g.edges[e.uid()] = e
    return e


def hostile_graph(keys=True):
    """A -> B -> C -> A and A -> C, and D alone, every dict holding hostile values
    (and keys). D's dict is held by its node only, so replacing or deleting that
    node finalizes its values."""
    g = Graph()
    a, b, c, _ = (put(g, Node(t, hostile_props(i, keys))) for i, t in enumerate((A, B, C, D)))
    for name, s, t in (("f", a, b), ("g", b, c), ("h", c, a), ("i", a, c)):
        link(g, name, s, t, keys)
    return g


class Boom(Exception):
    pass


def boom():
    raise Boom("from user code")


def first_node_props(g):
    nodes = [n for n in list(g.nodes.values()) if isinstance(n, Node)]
    return nodes[0].properties if nodes else {}


# What the user code does. Each takes the graph, the dict given to the query and
# a box holding the running query.
ACTIONS = {
    "add node": lambda g, d, box: put(g, Node(Variable(f"X{len(g.nodes)}"))),
    "clear nodes": lambda g, d, box: g.nodes.clear(),
    "pop edge": lambda g, d, box: g.edges.popitem() if g.edges else None,
    "clear edges": lambda g, d, box: g.edges.clear(),
    "own properties cleared": lambda g, d, box: first_node_props(g).clear(),
    "own properties replaced": lambda g, d, box: [
        setattr(n, "properties", {"k": 1}) for n in list(g.nodes.values())],
    "query dict grown": lambda g, d, box: d.__setitem__(f"x{len(d)}", 0),
    "query dict cleared": lambda g, d, box: d.clear(),
    "reenter": lambda g, d, box: box and box[0].return_count(),
    "other query": lambda g, d, box: g.query().match(node="n").delete("n").execute(),
    "raise": lambda g, d, box: boom(),
    "collect": lambda g, d, box: gc.collect(0),
}
# Actions that change nothing the query reads: the result must be the one an
# unarmed run gives.
HARMLESS = {"collect"}


def types_of(rows, name):
    return [r[name].type for r in rows if name in r]


def only(*types):
    return lambda rows, name: all(t in types for t in types_of(rows, name))


def anything(rows, name):
    return True  # untyped: user code may have added nodes of any type


def keyed(d):
    """The query's dict with a hostile key added (set stores any hashable key)."""
    with Arena.quiet():
        d[HostileKey()] = 0
    return d


AB, BC = Application(A, B), Application(B, C)

# name: (builds the query from a fresh query and the dict given to it,
#        the variable to return, what every returned value must satisfy)
OPERATIONS = {
    "match node": (lambda q, d: q.match(node="n", properties=d), "n", anything),
    "match typed": (lambda q, d: q.match(node="n", type=B, properties=d), "n", only(B)),
    "match schema": (lambda q, d: q.match(node="n", type_schema="$A$", properties=d), "n", only(A)),
    "match edge form": (lambda q, d: q.match(edge="e", start="n", end="m", properties=d), "n",
                        anything),
    "match edge term": (lambda q, d: q.match(edge="e", term=Term("f", AB), properties=d), "e",
                        lambda rows, name: all(str(r[name].term) == "f:(A -> B)" for r in rows)),
    "match one node text": (lambda q, d: q.match("(n:A)").where("n.k = 1"), "n", only(A)),
    "match step text": (lambda q, d: q.match("(n:A)-[e]->(m)").where("m.k = 1"), "n", only(A)),
    "match two hops": (lambda q, d: q.match("(n)-[e]->(m:B)-[f]->(p)").where("n.k = 1"), "m",
                       only(B)),
    "match three hops mixed": (
        lambda q, d: q.match("(n)-[e]->(m)<-[f]-(p)-[g]-(z)").where("p.k = 1 AND z.k = 1"), "n",
        anything),
    "match backward": (lambda q, d: q.match("(n:B)<-[e]-(m)").where("n.k = m.k"), "n", only(B)),
    "merge found": (lambda q, d: q.merge(node="n", type=A, properties=d), "n", only(A)),
    "merge created": (lambda q, d: q.merge(node="n", type=C, properties={**d, "new": 1}), "n",
                      only(C)),
    "merge edge": (lambda q, d: q.match(node="a", type=A).match(node="b", type=B)
                   .merge(edge="e", term=Term("f", AB), start="a", end="b", properties=d), "a",
                   only(A)),
    "set": (lambda q, d: q.match(node="n").set("n", keyed(d)), "n", anything),
    "set edges": (lambda q, d: q.match("(n)-[e]->(m)").set("e", keyed(d)).set("n", d), "n",
                  anything),
    "delete": (lambda q, d: q.match(node="n", properties=d).delete("n"), "n", anything),
    "delete detach": (lambda q, d: q.match(node="n", type=A).delete("n", detach=True), "n",
                      only(A)),
    "delete edges": (lambda q, d: q.match("(n)-[e]->(m)").where("n.k = 1").delete("e"), "n",
                     anything),
    "create": (lambda q, d: q.create(node="n", type=D, properties=d), "n", only(D)),
    "create text": (lambda q, d: q.create("(n:D)-[e:rel]->(m:A)").set("n", keyed(d)), "n",
                    only(D)),
    "where": (lambda q, d: q.match(node="n").where("n.k = 1 OR n.v IN [1, 2]"), "n", anything),
    "order_by": (lambda q, d: q.match(node="n").order_by("n", "k").order_by("n", "v", ascending=False),
                 "n", anything),
    "return_distinct": (lambda q, d: q.match("(n)-[e]->(m)").where("n.k = 1"), "n", anything),
}


def run(operation, g, d, box):
    build, name, _ = OPERATIONS[operation]
    q = build(g.query(), d)
    box[:] = [q]
    if operation == "return_distinct":
        return q.return_distinct(name, "e", "m")
    return q.return_(name)


def check_rows(operation, rows):
    _, name, fits = OPERATIONS[operation]
    assert isinstance(rows, list)
    for row in rows:
        assert type(row) is dict and row
        values = [x for v in row.values() for x in (v if isinstance(v, list) else [v])]
        assert all(isinstance(v, (Node, Edge)) for v in values)
    assert fits(rows, name), rows


def check_graph(g):
    """The graph is still a graph: counts print, every stored value is what it was
    stored as, and an unarmed query sees every node."""
    assert str(g) == f"Graph({len(g.nodes)} nodes, {len(g.edges)} edges)"
    assert all(isinstance(n, Node) for n in g.nodes.values())
    assert all(isinstance(e, Edge) for e in g.edges.values())
    assert g.query().match(node="n").return_count() == len(g.nodes)
    assert g.query().match(edge="e").return_count() == len(g.edges)


def printed(rows):
    return [{k: str(v) for k, v in r.items()} for r in rows]


TRIGGERS = ["eq", "bool", "hash", "del"]


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("operation", OPERATIONS)
def test_hostile_user_code(operation, action):
    for trigger in TRIGGERS:
        hostile_run(operation, action, trigger)


def hostile_run(operation, action, trigger):
    g, d, box = hostile_graph(), {"k": Hostile()}, []
    Arena.arm(trigger, lambda: ACTIONS[action](g, d, box))
    try:
        rows = run(operation, g, d, box)
    except RuntimeError as e:
        assert str(e) in (BUSY, CHANGED) or "already in use" in str(e), e
    except Boom:
        assert action == "raise"
    except (TypeError, ValueError, NameError) as e:
        # Only a user action can make a run fail otherwise: a failing
        # comparison is passed on as it came.
        raise AssertionError(f"unexpected {type(e).__name__}: {e}")
    else:
        Arena.disarm()
        check_rows(operation, rows)
        if action in HARMLESS:
            assert printed(rows) == printed(run(operation, hostile_graph(), {"k": Hostile()}, [None]))
    Arena.disarm()
    check_graph(g)
    for e in Arena.swallowed:
        assert isinstance(e, (RuntimeError, Boom)), e


@pytest.mark.parametrize("operation", OPERATIONS)
def test_reentry_from_a_comparison_is_refused(operation):
    """Calling the running query from a property value's comparison is refused with
    its own message, and leaves the query usable. (Hostile keys are left out: a
    key lookup that raises counts as a mismatch, so its refusal is dropped.)"""
    g, d, box = hostile_graph(keys=False), {"k": Hostile()}, []
    Arena.arm("eq", lambda: box[0].return_count(), budget=1)
    try:
        run(operation, g, d, box)
    except RuntimeError as e:
        assert str(e) == BUSY
        assert Arena.fired == 1
    else:
        assert Arena.fired == 0  # this operation compared nothing
    Arena.disarm()
    check_rows(operation, box[0].return_(OPERATIONS[operation][1]))


def test_canaries_are_released_with_the_graph():
    before = set(Canary.alive)
    g = hostile_graph()
    rows = g.query().match("(n)-[e]->(m)").where("n.k = 1").set("n", {"k": Hostile()}).return_("n")
    q = g.query().match(node="n").order_by("n", "k")
    q.execute()
    assert rows
    del g, rows, q
    gc.collect()
    assert Canary.alive <= before


def test_released_binding_finalizers_run_inside_the_next_run():
    """A second run replaces the first run's bindings; the nodes it held are gone
    from the graph by then, so their property values are finalized inside the run
    and change the graph while the match walks it."""
    g = hostile_graph()
    q = g.query().match("(n)-[e]->(m)-[f]->(p)")
    assert q.return_count() > 0
    for n in list(g.nodes.values()):
        n.properties = {"k": 1}
    g.nodes.clear()
    Arena.arm("del", lambda: put(g, Node(Variable(f"Y{len(g.nodes)}"))), budget=50)
    try:
        q.return_("n", "m", "p")
    except RuntimeError as e:
        assert str(e) == CHANGED
    Arena.disarm()
    check_graph(g)


# ---- a random walk with hostile values --------------------------------------------------

TYPES = [A, B, C, AB, BC]
ARMED_BY = st.sampled_from(TRIGGERS + [None])
MACHINE_ACTIONS = st.sampled_from(sorted(ACTIONS))
BUILDS = {
    "node": lambda q, d, t: q.match(node="n", type=t, properties=d),
    "schema": lambda q, d, t: q.match(node="n", type_schema="$* -> *$", properties=d),
    "edge": lambda q, d, t: q.match(edge="e", start="n", end="m", properties=d),
    "path": lambda q, d, t: q.match("(n)-[e]->(m)-[f]->(p)").where("n.k = 1"),
    "any path": lambda q, d, t: q.match("(n)-[e]-(m)"),
    "merge": lambda q, d, t: q.merge(node="n", type=t, properties=d),
    "merge edge": lambda q, d, t: q.merge(edge="e", term=Term("r", AB), start="n", end="m"),
    "create": lambda q, d, t: q.create(node="n", type=t, properties=d),
    "set": lambda q, d, t: q.set("n", d),
    "delete": lambda q, d, t: q.delete("n", "e", detach=True),
    "where": lambda q, d, t: q.where("n.k = 1 AND NOT n.v IS NULL"),
    "order": lambda q, d, t: q.order_by("n", "k").skip(1).limit(3),
}


class HostileMachine(RuleBasedStateMachine):
    @initialize()
    def setup(self):
        self.g = Graph()
        self.queries = [self.g.query()]
        self.d = {"k": Hostile()}
        self.box = [self.queries[0]]
        self.before = set(Canary.alive)

    @rule(t=st.sampled_from(TYPES), hostile=st.booleans())
    def add_node(self, t, hostile):
        with Arena.quiet():
            put(self.g, Node(t, hostile_props(0) if hostile else {"k": 1, "v": 0}))

    @rule(name=st.sampled_from("fgh"), i=st.integers(0, 20), j=st.integers(0, 20))
    def add_edge(self, name, i, j):
        with Arena.quiet():
            nodes = list(self.g.nodes.values())
            if nodes:
                link(self.g, name, nodes[i % len(nodes)], nodes[j % len(nodes)])

    @rule(trigger=ARMED_BY, action=MACHINE_ACTIONS)
    def arm(self, trigger, action):
        if trigger is None:
            Arena.disarm()
        else:
            Arena.arm(trigger, lambda: ACTIONS[action](self.g, self.d, self.box), budget=4)

    @rule(i=st.integers(0, 50), kind=st.sampled_from(sorted(BUILDS)), t=st.sampled_from(TYPES))
    def build(self, i, kind, t):
        q = self.queries[i % len(self.queries)]
        try:
            self.queries.append(BUILDS[kind](q, self.d, t))
        except (RuntimeError, Boom):
            pass  # a finalizer's action ran during the builder's copying

    @rule(i=st.integers(0, 50), how=st.sampled_from(["rows", "distinct", "count", "execute"]))
    def run(self, i, how):
        q = self.queries[i % len(self.queries)]
        self.box[:] = [q]
        try:
            if how == "rows":
                rows = q.return_("n", "e", "m")
            elif how == "distinct":
                rows = q.return_distinct("n", "m")
            elif how == "count":
                assert q.return_count() >= 0
                return
            else:
                self.queries.append(q.execute())
                return
        except (RuntimeError, Boom):
            return
        except NameError as e:
            assert "(where)" in str(e)  # a condition naming a variable nothing bound
            return
        assert all(isinstance(v, (Node, Edge)) for r in rows for v in r.values())

    @invariant()
    def no_double_free(self):
        assert Canary.freed_twice == []

    @precondition(lambda self: hasattr(self, "g"))
    @invariant()
    def graph_is_whole(self):
        with Arena.quiet():
            check_graph(self.g)

    def teardown(self):
        Arena.disarm()
        if hasattr(self, "g"):
            self.g.nodes.clear()
            self.g.edges.clear()
            del self.g, self.queries, self.d, self.box
        gc.collect()
        assert Canary.freed_twice == []


HostileMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
test_hostile_random_sequences = HostileMachine.TestCase


# ---- finalizers of entries removed mid-run ------------------------------------------------
#
# User code run by a comparison removes entries (or replaces property dicts)
# while the engine holds the key or value it is working on: the engine's
# reference is then the last one, and releasing it runs finalizers of the key,
# of the Node or Edge, and of its property values -- inside the engine, at
# whatever point it lets go. Those finalizers clear or refill the graph,
# re-enter the running query, run other queries (index rebuilds, stores),
# replace property dicts, raise or collect.

class Afterlife:
    """What finalizers do, a bounded number of times."""

    action = None
    budget = 0
    fired = 0

    @classmethod
    def arm(cls, action, budget=6):
        cls.action, cls.budget, cls.fired = action, budget, 0

    @classmethod
    def fire(cls):
        if cls.action is None or cls.fired >= cls.budget:
            return
        cls.fired += 1
        try:
            cls.action()
        except Exception as e:  # a finalizer cannot raise; keep it for the test
            Arena.swallowed.append(e)


class Mortal(Canary):
    """A property value whose finalizer runs the afterlife action."""

    def __del__(self):
        Afterlife.fire()
        super().__del__()


class MortalKey(str):
    """A key of graph.nodes or graph.edges (a str, as typed lookups want) whose finalizer runs the afterlife
    action."""

    def __new__(cls, text):
        key = super().__new__(cls, text)
        key.token = next(Canary.tokens)
        Canary.alive.add(key.token)
        return key

    def __del__(self):
        Afterlife.fire()
        Canary.__del__(self)


def mortal_props(i):
    return {"k": Hostile(), "v": i, "m": Mortal()}


def mortal_graph(mortal_keys):
    """hostile_graph's shape; every dict holds a mortal value, and no dict is shared between a stored node and
    an edge's copy of it, so that removing either releases its values. With `mortal_keys` every key is mortal
    too (and typed lookups cannot use an index, whose keys must be exact str)."""
    g = Graph()

    def store(d, obj):
        d[MortalKey(obj.uid()) if mortal_keys else obj.uid()] = obj

    for i, t in enumerate((A, B, C, D)):
        store(g.nodes, Node(t, mortal_props(i)))
    for name, s, t in (("f", A, B), ("g", B, C), ("h", C, A), ("i", A, C)):
        store(g.edges, Edge(Term(name, Application(s, t)), Node(s, mortal_props(0)), Node(t, mortal_props(1)),
                            mortal_props(9)))
    return g


def refill(g):
    for t in (A, B, Variable(f"R{len(g.nodes)}")):
        n = Node(t, {"k": 1, "m": Mortal()})
        g.nodes[MortalKey(n.uid())] = n
        e = Edge(Term(f"r{len(g.edges)}", Application(t, A)), n, Node(A), {"k": 1})
        g.edges[MortalKey(e.uid())] = e


AFTERLIFE = {
    "refill": lambda g, box: refill(g),
    "clear": lambda g, box: (g.nodes.clear(), g.edges.clear()),
    "reenter": lambda g, box: box and box[0].return_count(),
    "lookups": lambda g, box: (g.query().match(node="n", type=A).return_count(),
                               g.query().match("(a:A)-[e]->(b)-[f*1..2]-(c)").return_count()),
    "writes": lambda g, box: g.query().create(node="x", type=Variable("X")).merge(node="y", type=B)
    .match(node="z", type=C).delete("z", detach=True).execute(),
    "properties replaced": lambda g, box: [setattr(n, "properties", {"k": 1}) for n in list(g.nodes.values())],
    "raise": lambda g, box: boom(),
    "collect": lambda g, box: gc.collect(0),
}
REMOVALS = ["clear nodes", "clear edges", "pop edge", "own properties replaced", "query dict cleared"]
OPERATIONS.update({
    "variable length": (lambda q, d: q.match("(n)-[e*1..3 {k: 1}]-(m)").where("m.k = 1"), "n", anything),
    "zero-length start": (lambda q, d: q.match("(n:A {k: 1})-[e*0..2]->(m)"), "n", only(A)),
    "aggregation": (lambda q, d: q.match(node="n").with_("collect(n) AS n", "min(n.k) AS low", "count(DISTINCT n.k)"),
                    "n", anything),
    "parameter in a map": (lambda q, d: q.match("(n {k: $v})-[e]->(m)").parameters(v=d["k"]), "n", anything),
    "parameter in a streamed where": (lambda q, d: q.match(node="n").where("n.k = $v AND n.v IN $vs").limit(2)
                                      .parameters(v=d["k"], vs=[d["k"], 0, 1]), "n", anything),
})


@pytest.mark.parametrize("afterlife", AFTERLIFE)
@pytest.mark.parametrize("operation", OPERATIONS)
def test_finalizers_of_entries_removed_mid_run(operation, afterlife):
    for removal in REMOVALS:
        for mortal_keys in (False, True):
            g, d, box = mortal_graph(mortal_keys), {"k": Hostile()}, []
            Arena.arm("eq", lambda: ACTIONS[removal](g, d, box), budget=2)
            Afterlife.arm(lambda: AFTERLIFE[afterlife](g, box))
            try:
                rows = run(operation, g, d, box)
            except RuntimeError as e:
                assert str(e) in (BUSY, CHANGED) or "already in use" in str(e), e
            else:
                Arena.disarm()
                Afterlife.arm(None)
                check_rows(operation, rows)
            Arena.disarm()
            Afterlife.arm(None)
            check_graph(g)
            for e in Arena.swallowed:
                assert isinstance(e, (RuntimeError, Boom)), e
