"""Reference and memory leak check for the quorvel module.

Run with a debug interpreter (python3.11-dbg) against a module built for it:

    PYTHONPATH=build-dbg python3.11-dbg tests/leakcheck.py [--short] [-k NAME]

Every public operation (constructors, methods, getters, setters, printed forms,
comparisons and their error paths; query builders and runs) is repeated in
rounds. After each round the script collects garbage and samples
sys.gettotalrefcount(), sys.getallocatedblocks() and the C heap in use
(glibc mallinfo2, which sees the C++ side's allocations too). An operation
leaks when every measured round grows: a leak of one reference per call shows
up as at least one reference per call in each round, while caches settle after
the warm-up rounds. The exit status is 1 when anything leaked.
"""

import argparse
import copy
import ctypes
import gc
import pickle
import sys
import sysconfig
import tempfile
import time

import quorvel
from quorvel import (Application, Edge, EdgePattern, Graph, Node, NodePattern, PathPattern, Query,
                     Term, TypeSchema, Variable)

A, B, C = Variable("A"), Variable("B"), Variable("C")
AB = Application(A, B)
F, X = Term("f", AB), Term("x", A)


def expect(kind, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except kind:
        return
    raise AssertionError(f"{call!r} did not raise {kind.__name__}")


def tolerate(kind, call, *args):
    """Runs a call that may or may not fail with `kind` (both outcomes are correct)."""
    try:
        call(*args)
    except kind:
        pass


def put(graph, node):
    graph.nodes[node.uid()] = node
    return node


def link(graph, term, start, end, properties=None):
    edge = Edge(term, start, end, properties)
    graph.edges[edge.uid()] = edge
    return edge


def small_graph():
    """Persons knowing each other, a company, a cycle through properties."""
    g = Graph()
    person, company = Variable("Person"), Variable("Company")
    people = [put(g, Node(Application(person, Variable(f"P{i}")), {"age": i, "name": f"p{i}"}))
              for i in range(4)]
    acme = put(g, Node(company, {"name": "acme"}))
    for i, p in enumerate(people):
        link(g, Term(f"knows{i}", Variable("knows")), p, people[(i + 1) % 4], {"w": i})
        link(g, Term(f"works{i}", Application(person, company)), p, acme)
    return g


GRAPH = small_graph()


class Raising:
    """A property value whose comparison fails."""

    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = object.__hash__


class Reenter:
    """A property value that calls back into the query running it."""

    box = []

    def __eq__(self, other):
        Reenter.box[0].return_count()
        return True

    __hash__ = object.__hash__


# ---- the operations ------------------------------------------------------------------
# Each takes no argument, builds what it needs and checks what it gets, so a
# round of calls leaves nothing behind but what a leak leaves.

OPS = {}


def op(name):
    def register(fn):
        OPS[name] = fn
        return fn
    return register


def ops(prefix, table):
    for key, fn in table.items():
        OPS[f"{prefix}.{key}"] = fn


ops("Variable", {
    "new": lambda: Variable("Person"),
    "new nul": lambda: Variable("a\0b").uid(),
    "new bad type": lambda: expect(TypeError, Variable, 5),
    "new missing": lambda: expect(TypeError, Variable),
    "new extra kw": lambda: expect(TypeError, Variable, "A", bogus=1),
    "new surrogate": lambda: expect(UnicodeEncodeError, Variable, "\ud800"),
    "name": lambda: A.name,
    "set name": lambda: setattr(Variable("Q"), "name", "R"),
    "set name bad": lambda: expect(TypeError, setattr, Variable("Q"), "name", 1),
    "del name": lambda: expect(AttributeError, delattr, Variable("Q"), "name"),
    "uid": lambda: A.uid(),
    "eq ne hash": lambda: (A == Variable("A"), A != B, A == 5, hash(A)),
    "order refused": lambda: expect(TypeError, lambda: A < B),
    "str repr": lambda: (str(A), repr(A)),
})

ops("Application", {
    "new": lambda: Application(A, Application(B, C)),
    "new bad": lambda: expect(TypeError, Application, "A", B),
    "new bad right": lambda: expect(TypeError, Application, A, None),
    "new missing": lambda: expect(TypeError, Application, A),
    "left right": lambda: (AB.left, AB.right),
    "uid": lambda: AB.uid(),
    "eq ne hash": lambda: (AB == Application(A, B), AB != A, AB == "x", hash(AB)),
    "str repr": lambda: (str(AB), repr(AB)),
    "set left refused": lambda: expect(AttributeError, setattr, AB, "left", B),
})

ops("Term", {
    "new": lambda: Term("g", AB),
    "new bad type": lambda: expect(TypeError, Term, "g", "A"),
    "new bad name": lambda: expect(TypeError, Term, 1, A),
    "name type": lambda: (F.name, F.type),
    "set name": lambda: setattr(Term("g", A), "name", "h"),
    "set name bad": lambda: expect(TypeError, setattr, Term("g", A), "name", None),
    "del name": lambda: expect(AttributeError, delattr, Term("g", A), "name"),
    "set type refused": lambda: expect(AttributeError, setattr, F, "type", A),
    "uid": lambda: F.uid(),
    "call": lambda: F(X),
    "call missing": lambda: expect(TypeError, F),
    "call mismatch": lambda: expect(TypeError, F, Term("y", B)),
    "call not a function": lambda: expect(TypeError, X, X),
    "call bad arg": lambda: expect(TypeError, F, 5),
    "eq ne hash": lambda: (F == Term("f", AB), F != X, F == 3, hash(F)),
    "str repr": lambda: (str(F), repr(F)),
})


def node_cycle():
    n = Node(A, {})
    n.properties["self"] = n  # collected by the GC
    n.properties["dict"] = n.properties


ops("Node", {
    "new": lambda: Node(A),
    "new props": lambda: Node(AB, {"k": [1, 2], 3: "x"}),
    "new bad type": lambda: expect(TypeError, Node, "A"),
    "new bad props": lambda: expect(TypeError, Node, A, [1]),
    "type": lambda: Node(AB).type,
    "properties": lambda: Node(A, {"a": 1}).properties,
    "set properties": lambda: setattr(Node(A), "properties", {"b": 2}),
    "set properties bad": lambda: expect(TypeError, setattr, Node(A), "properties", None),
    "del properties": lambda: expect(AttributeError, delattr, Node(A), "properties"),
    "uid": lambda: Node(AB).uid(),
    "str repr": lambda: (str(Node(A)), repr(Node(A))),
    "cycle": node_cycle,
})

NA, NB = Node(A, {"n": 1}), Node(B)


def edge_cycle():
    e = Edge(F, NA, NB, {})
    e.properties["self"] = e


ops("Edge", {
    "new": lambda: Edge(F, NA, NB),
    "new props": lambda: Edge(F, NA, NB, {"w": 1}),
    "new bad term": lambda: expect(TypeError, Edge, 5, NA, NB),
    "new bad start": lambda: expect(TypeError, Edge, F, 5, NB),
    "new bad end": lambda: expect(TypeError, Edge, F, NA, "x"),
    "new bad props": lambda: expect(TypeError, Edge, F, NA, NB, 5),
    "getters": lambda: (lambda e: (e.term, e.start, e.end, e.properties))(Edge(F, NA, NB)),
    "set properties": lambda: setattr(Edge(F, NA, NB), "properties", {"x": 1}),
    "set properties bad": lambda: expect(TypeError, setattr, Edge(F, NA, NB), "properties", 1),
    "del properties": lambda: expect(AttributeError, delattr, Edge(F, NA, NB), "properties"),
    "uid": lambda: Edge(F, NA, NB).uid(),
    "str repr": lambda: (str(Edge(F, NA, NB)), repr(Edge(F, NA, NB))),
    "cycle": edge_cycle,
})


def graph_cycle():
    g = Graph()
    n = put(g, Node(A, {}))
    n.properties["graph"] = g
    n.properties["query"] = g.query()


ops("Graph", {
    "new": lambda: Graph(),
    "new bad": lambda: expect(TypeError, Graph, 1),
    "nodes edges": lambda: (GRAPH.nodes, GRAPH.edges),
    "set nodes refused": lambda: expect(AttributeError, setattr, Graph(), "nodes", {}),
    "query": lambda: GRAPH.query(),
    "str repr": lambda: (str(GRAPH), repr(GRAPH)),
    "cycle": graph_cycle,
})

SCHEMA = TypeSchema("$(x:*) -> (y:B)$")

ops("TypeSchema", {
    "new": lambda: TypeSchema("$(a:*) -> (b:$(c:A) -> B$)$"),
    "new odd": lambda: TypeSchema("$$$((((:::"),
    "new bad": lambda: expect(TypeError, TypeSchema, 5),
    "pattern": lambda: SCHEMA.pattern,
    "matches": lambda: (SCHEMA.matches(AB), SCHEMA.matches(A)),
    "matches bad": lambda: expect(TypeError, SCHEMA.matches, "A"),
    "capture": lambda: (SCHEMA.capture(AB), SCHEMA.capture(A)),
    "capture bad": lambda: expect(TypeError, SCHEMA.capture, None),
    "str repr": lambda: (str(SCHEMA), repr(SCHEMA)),
})

ops("NodePattern", {
    "new": lambda: NodePattern(),
    "new full": lambda: NodePattern("n", AB, "$* -> B$", {"k": [1]}),
    "new schema object": lambda: NodePattern("n", type_schema=SCHEMA),
    "new bad type": lambda: expect(TypeError, NodePattern, "n", "A"),
    "new bad props": lambda: expect(TypeError, NodePattern, "n", properties=[1]),
    "new non-schema": lambda: NodePattern("n", type_schema=5),  # means no schema
    "variable repr": lambda: (lambda p: (p.variable, repr(p)))(NodePattern("n", A)),
})

ops("EdgePattern", {
    "new": lambda: EdgePattern(),
    "new full": lambda: EdgePattern("e", F, "$A -> *$", {"w": 1}, "backward"),
    "new bad direction": lambda: expect(TypeError, EdgePattern, direction=None),
    "new unknown direction": lambda: EdgePattern(direction="up"),
    "new bad term": lambda: expect(TypeError, EdgePattern, "e", 5),
    "getters repr": lambda: (lambda p: (p.variable, p.direction, repr(p)))(EdgePattern("e")),
})

ops("PathPattern", {
    "new": lambda: PathPattern(),
    "new text": lambda: PathPattern("(a:A)-[r:A -> B]->(b:B)<-[s]-(c)-[t]-(d)"),
    "parse": lambda: PathPattern.parse("(n:Person {age: 30})"),
    "parse error": lambda: expect(ValueError, PathPattern.parse, "(a)-[e]->"),
    "new error": lambda: expect(ValueError, PathPattern, "(a)<-[e]->(b)"),
    "new bad": lambda: expect(TypeError, PathPattern, 5),
    "add": lambda: PathPattern().add_node(NodePattern("a")).add_edge(EdgePattern("e"))
    .add_node(NodePattern("b")),
    "add bad": lambda: expect(TypeError, PathPattern().add_node, EdgePattern()),
    "nodes edges repr": lambda: (lambda p: (p.nodes, p.edges, repr(p)))(PathPattern("(a)-[e]->(b)")),
})

# Every reason the path parser gives.
for i, text in enumerate(["", "(a) x (b)", "(a", "(a))", "(a)-[e", "(a)-[e]->", "(a)<-[e]->(b)",
                          "(a)-(b)", "(a)-][->(b)", "-[e]->(a)", "(\ud800)"]):
    OPS[f"PathPattern.parse error {i}"] = (
        lambda text=text: expect((ValueError, UnicodeEncodeError), PathPattern.parse, text))

# ---- queries ----------------------------------------------------------------------------


def run_all(q):
    """Every result method of a query."""
    rows = q.return_("n", "e", "m", "p")
    q.return_distinct("n", "m")
    q.return_count()
    q.execute()
    return rows


def q(*builders):
    """An operation that builds a fresh query over GRAPH and runs it."""
    def run():
        query = GRAPH.query()
        for b in builders:
            query = b(query)
        run_all(query)
    return run


def fresh(*builders):
    """Same, over a fresh graph each time (for operations that change it)."""
    def run():
        g = small_graph()
        query = g.query()
        for b in builders:
            query = b(query)
        run_all(query)
    return run


PERSON = Variable("Person")
KNOWS = Term("knows0", Variable("knows"))

ops("Query", {
    "new": lambda: Query(GRAPH),
    "new bad": lambda: expect(TypeError, Query, 5),
    "builders only": lambda: GRAPH.query().match(node="n").where("n.age > 1").order_by("n", "age")
    .skip(1).limit(2).with_("n").set("n", {}).delete("n").merge(node="n").create(node="m"),
    "match node": q(lambda q: q.match(node="n")),
    "match typed": q(lambda q: q.match(node="n", type=Application(PERSON, Variable("P1")))),
    "match schema": q(lambda q: q.match(node="n", type_schema="$Person -> *$")),
    "match schema object": q(lambda q: q.match(node="n", type_schema=TypeSchema("$(x:*)$"))),
    "match properties": q(lambda q: q.match(node="n", properties={"age": 2, "name": "p2"})),
    "match raising property": lambda: expect(ValueError, GRAPH.query().match(
        node="n", properties={"age": Raising()}).return_, "n"),
    "match edge": q(lambda q: q.match(edge="e", start="n", end="m", term=KNOWS)),
    "match edge schema": q(lambda q: q.match(edge="e", term_type_schema="$knows$",
                                             properties={"w": 1})),
    "match one node text": q(lambda q: q.match("(n:Person -> *)")),
    "match step": q(lambda q: q.match("(n)-[e:knows]->(m)")),
    "match backward": q(lambda q: q.match("(n)<-[e]-(m:Company)")),
    "match any": q(lambda q: q.match("(n)-[e]-(m)")),
    "match two hops": q(lambda q: q.match("(n)-[e:knows]->(m)-[f:knows]->(p)")),
    "match three hops mixed": q(lambda q: q.match("(n)-[e]->(m)<-[f]-(p)-[g]-(z)")),
    "match bad text": lambda: expect(ValueError, GRAPH.query().match, "(a"),
    "match bad kw": lambda: expect(TypeError, GRAPH.query().match, node=5),
    "match bad type": lambda: expect(TypeError, GRAPH.query().match, node="n", type="A"),
    "where": q(lambda q: q.match(node="n").where("n.age >= 1 AND NOT n.name = 'p3'")),
    "where in list": q(lambda q: q.match(node="n").where("n.age IN [1, 2.5, 'x', NULL] OR n.x IS NULL")),
    "where strings": q(lambda q: q.match(node="n").where(
        "n.name STARTS WITH 'p' AND n.name ENDS WITH '1' OR n.name CONTAINS 'q'")),
    "where type test": q(lambda q: q.match(node="n").where("n:$Person -> *$")),
    "where unbound": lambda: expect(NameError, GRAPH.query().match(node="n").where("zz.a = 1").return_),
    "where parse error": lambda: expect(ValueError, GRAPH.query().where, "n.age >"),
    "where bad arg": lambda: expect(TypeError, GRAPH.query().where, 5),
    "order_by": q(lambda q: q.match(node="n").order_by("n", "age", ascending=False)),
    "order_by mixed keys": q(lambda q: q.match(node="n").order_by("n", "name").order_by("n", "zz")),
    "order_by bad": lambda: expect(TypeError, GRAPH.query().order_by, "n", "age", ascending=1),
    "skip limit": q(lambda q: q.match(node="n").skip(1).limit(2)),
    "limit negative": lambda: expect(OverflowError, GRAPH.query().limit, -1),
    "skip huge": lambda: expect(OverflowError, GRAPH.query().skip, 2**64),
    "with_": q(lambda q: q.match(node="n").match(node="m").with_("n")),
    "create node": fresh(lambda q: q.create(node="n", type=C, properties={"k": [1]})),
    "create text": fresh(lambda q: q.create("(n:New)-[e:rel]->(m:Other)")),
    "create edge": fresh(lambda q: q.create(node="n", type=A).create(node="m", type=B)
                         .create(edge="e", term=F, start="n", end="m", properties={"w": 0})),
    "create edge no start": lambda: expect(ValueError, GRAPH.query().create, edge="e"),
    "create edge node start": lambda: expect(ValueError, GRAPH.query().create, edge="e",
                                             start=NA, end="m"),
    "create bad kw": lambda: expect(TypeError, GRAPH.query().create, node="p", type_schema="$A$"),
    "merge found": fresh(lambda q: q.merge(node="n", type=Variable("Company"))),
    "merge created": fresh(lambda q: q.merge(node="n", type=C, properties={"x": 1})),
    "merge schema": fresh(lambda q: q.merge(node="n", type_schema="$Company$")),
    "merge edge": fresh(lambda q: q.match(node="n", type=Variable("Company"))
                        .merge(node="m", type=C).merge(edge="e", term=F, start="n", end="m")),
    "merge edge bad": lambda: expect(ValueError, GRAPH.query().merge, edge="e", start="a", end=NA),
    "set": fresh(lambda q: q.match(node="n").set("n", {"age": 99, 1: (2, 3)})),
    "set edges": fresh(lambda q: q.match("(n)-[e]->(m)").set("e", {"w": None})),
    "set bad": lambda: expect(TypeError, GRAPH.query().set, "n", [1]),
    "delete": fresh(lambda q: q.match(node="n", type=Variable("Company")).delete("n")),
    "delete detach": fresh(lambda q: q.match(node="n").delete("n", detach=True)),
    "delete edges": fresh(lambda q: q.match("(n)-[e]->(m)").delete("e")),
    "delete bad": lambda: expect(TypeError, GRAPH.query().delete, 5),
    "return bad": lambda: expect(TypeError, GRAPH.query().return_, 5),
    "variable length": q(lambda q: q.match("(n)-[e:knows*0..3]-(m)")),
    "reachability": lambda: GRAPH.query().match("(n)-[*1..3]->(m)").return_distinct("m", "m.name"),
    "aggregates": lambda: GRAPH.query().match("(n)-[e]->(m)").return_(
        "n", "count(*)", "count(DISTINCT m)", "collect(e.w)", "sum(n.age)", "min(n.name)", "avg(n.age)"),
    "with_ aggregate": q(lambda q: q.match("(n)-[e]->(m)").with_("n", "count(e) AS k").order_by("k")),
    "functions": q(lambda q: q.match("(n)-[e]->(m)").where(
        "lower(coalesce(n.name, 'x')) <> upper(type(m)) AND size(term(e)) > 0 AND uid(n) <> ''")),
    "parameters": q(lambda q: q.match("(n {name: $who})").where("n.age IN $ages")
                    .parameters(who="p2", ages=[1, 2])),
    "parameter missing": lambda: expect(NameError, GRAPH.query().where("n.a = $x").return_),
    "column bad": lambda: expect(ValueError, GRAPH.query().return_, "count("),
    "streamed limit": q(lambda q: q.match("(n)-[e]->(m)").where("n.age > 0").skip(1).limit(2)),
})


def junk_in_graph():
    g = Graph()
    put(g, Node(A))
    g.nodes["junk"] = 5
    expect(TypeError, g.query().match(node="n").return_count)
    g.edges["junk"] = "x"
    expect(TypeError, g.query().match("(a)-[e]->(b)").return_count)


def reentrant_refused():
    g = Graph()
    put(g, Node(A, {"k": Reenter()}))
    busy = g.query().match(node="n", properties={"k": 1})
    Reenter.box[:] = [busy]
    expect(RuntimeError, busy.return_)
    Reenter.box.clear()


def dict_changed():
    g = Graph()

    class Grow:
        def __eq__(self, other):
            put(g, Node(Variable(f"V{len(g.nodes)}")))
            return True

        __hash__ = object.__hash__

    put(g, Node(A, {"k": Grow()}))
    put(g, Node(B, {"k": 0}))
    tolerate(RuntimeError, g.query().match(node="n", properties={"k": 1}).return_, "n")
    tolerate(RuntimeError, g.query().match("(n)-[e]->(m)").set("n", {"k": 2}).return_, "n")


def callback_raises():
    g = Graph()
    put(g, Node(A, {"k": Raising()}))
    expect(ValueError, g.query().merge(node="n", type=A, properties={"k": 1}).return_count)
    expect(ValueError, g.query().match("(n:A)").where("n.k = 1").return_count)


def query_cycle():
    g = Graph()
    n = put(g, Node(A, {}))
    q = g.query().match(node="n").set("n", {"q": None})
    n.properties["q"] = q
    q.return_count()


ops("Query", {
    "junk in graph": junk_in_graph,
    "reentrant refused": reentrant_refused,
    "dict changed": dict_changed,
    "callback raises": callback_raises,
    "cycle": query_cycle,
})

# ---- saving and exchanging ------------------------------------------------------------------

PICKLED = [A, AB, F, NA, Edge(F, NA, NB, {"w": [1]}), GRAPH, SCHEMA, NodePattern("n", AB, "$*$", {"k": [1]}),
           EdgePattern("e", F, "$A -> *$", {"w": 1}, "any"), PathPattern("(a:A {k: 1})-[e]->(b)"),
           PathPattern("(a {k: $p})-[e*1..3 {w: $w}]->(b)")]
GRAPH_TEXT = GRAPH.to_json()
TMP = tempfile.mkdtemp()


def damaged_files():
    for text in (GRAPH_TEXT[:-40], GRAPH_TEXT.replace('"version":1', '"version":2'), "[]", b"\xff"):
        expect(ValueError, Graph.from_json, text)


def refused_values():
    for value in ((1,), {1: 2}, float("nan"), [[object()]], "\ud800\udc00"):
        g = Graph()
        put(g, Node(A, {"k": [1], "bad": value}))
        expect(TypeError, g.to_json)
        expect(TypeError, g.save, TMP + "/refused.json")


def meddling_save():
    g = small_graph()
    for node in g.nodes.values():
        node.properties["grow"] = Grow(g)
    tolerate(RuntimeError, g.to_dot)


class Grow:
    """str() of it adds a node to the graph being written."""

    def __init__(self, graph):
        self.graph = graph

    def __str__(self):
        put(self.graph, Node(Variable(f"G{len(self.graph.nodes)}")))
        return "grown"


def rebuild(obj):
    """What unpickling does with obj.__reduce__(), without the pickle module,
    whose own caches grow a little on every call under this measure."""
    make, args, *rest = obj.__reduce__()
    new = make(*args)
    state = rest[0] if rest else None
    if state is not None and hasattr(new, "__setstate__"):
        new.__setstate__(state)
    elif state is not None:
        for name, value in state[1].items():
            setattr(new, name, value)
    return new


ops("Persist", {
    **{f"reduce {type(o).__name__} {i}": (lambda o=o: rebuild(o)) for i, o in enumerate(PICKLED)},
    **{f"copy {type(o).__name__}": (lambda o=o: (copy.copy(o), copy.deepcopy(o))) for o in PICKLED},
    "pickle query refused": lambda: expect(TypeError, pickle.dumps, GRAPH.query()),
    "setstate bad": lambda: expect(ValueError, Graph().__setstate__, (1, ["A", 0, 5], [], [])),
    "to_json from_json": lambda: Graph.from_json(GRAPH.to_json()),
    "save load": lambda: (GRAPH.save(TMP + "/g.json"), Graph.load(TMP + "/g.json")),
    "load missing": lambda: expect(OSError, Graph.load, TMP + "/missing.json"),
    "damaged files": damaged_files,
    "refused values": refused_values,
    "meddling save": meddling_save,
    "parse_type": lambda: quorvel.parse_type("(A -> (Big Co -> C))"),
    "parse_type bad": lambda: expect(ValueError, quorvel.parse_type, "A -> B -> C"),
    "networkx": lambda: Graph.from_networkx(GRAPH.to_networkx()),
    "networkx bad": lambda: expect(TypeError, Graph.from_networkx, 5),
    "to_dot": lambda: GRAPH.to_dot(name="g"),
})

# ---- measuring --------------------------------------------------------------------------


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = MallInfo2
except (AttributeError, OSError):
    _mallinfo2 = None


def heap_in_use():
    return _mallinfo2().uordblks + _mallinfo2().hblkhd if _mallinfo2 else 0


def sample():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks(), heap_in_use()


METRICS = ("refs", "blocks", "heap bytes")
# A round's growth below this is noise: the C heap moves by whole chunks
# (free lists, arena trimming), references and blocks do not.
NOISE = (0, 0, 4096)


def check(fn, calls, rounds, warmup, baseline=None):
    """Growth per round of each metric (less what measuring itself costs), and
    for each metric whether every round grew."""
    for _ in range(warmup):
        for _ in range(calls):
            fn()
    samples = [sample()]
    for _ in range(rounds):
        for _ in range(calls):
            fn()
        samples.append(sample())
    deltas = [[a - b for a, b in zip(after, before)] for before, after in zip(samples, samples[1:])]
    if baseline:
        deltas = [[d - b for d, b in zip(row, base)] for row, base in zip(deltas, baseline)]
    leaked = [all(d[i] > NOISE[i] for d in deltas) for i in range(len(METRICS))]
    return deltas, leaked


def calibrate(calls, rounds, warmup):
    """What the sampling costs per round, and a check that the module counts
    its references: an extension compiled against the release headers loads
    into the debug interpreter, but its increments and decrements escape
    sys.gettotalrefcount(), which then drifts by one per object made."""
    baseline, _ = check(lambda: None, calls, rounds, warmup)
    node = Node(A, {})
    drift, _ = check(lambda: node.properties, calls, rounds, warmup, baseline)
    if any(row[0] for row in drift):
        sys.exit("leakcheck: the module does not update sys.gettotalrefcount(); rebuild it against "
                 "the debug headers (GCC resolves the symlinked headers of /usr/include/python3.11d "
                 "to the release ones unless given -fno-canonical-system-headers)")
    return baseline


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--short", action="store_true", help="fewer calls per round, for CI")
    parser.add_argument("-k", dest="select", default="", help="only operations whose name has this")
    parser.add_argument("-v", dest="verbose", action="store_true", help="print every operation")
    args = parser.parse_args(argv)
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("leakcheck needs a debug interpreter (python3.11-dbg)")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if not quorvel.__file__.endswith(suffix):
        sys.exit(f"leakcheck: {quorvel.__file__} is not built for this interpreter ({suffix})")
    calls, rounds, warmup = (100, 3, 2) if args.short else (1000, 5, 2)
    selected = {n: f for n, f in OPS.items() if args.select in n}
    failures, start = [], time.monotonic()
    baseline = calibrate(calls, rounds, warmup)
    for name, fn in selected.items():
        deltas, leaked = check(fn, calls, rounds, warmup, baseline)
        if any(leaked):
            what = ", ".join(f"{METRICS[i]} {[d[i] for d in deltas]}" for i in range(3) if leaked[i])
            failures.append(f"{name}: grows every round of {calls} calls: {what}")
            print("LEAK", failures[-1], flush=True)
        elif args.verbose:
            print(f"ok   {name}: {deltas}", flush=True)
    elapsed = time.monotonic() - start
    print(f"leakcheck: {len(selected)} operations, {calls} calls x {rounds} rounds each, "
          f"{len(failures)} leaking, {elapsed:.1f}s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
