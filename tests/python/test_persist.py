"""Saving, copying and exchanging graphs: every round trip keeps everything a
user can observe, and every refusal is clean."""

import copy
import gc
import json
import os
import pickle
import re
import signal
import subprocess
import sys
import tempfile

import networkx as nx
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvel
from quorvel import (Application, Edge, EdgePattern, Graph, Node, NodePattern, PathPattern, Term,
                     TypeSchema, Variable, parse_type)

# ---------------------------------------------------------------- strategies

# Names with the characters the type text and JSON treat specially.
NAMES = st.text(alphabet="aZ é(->)$:\"\\\n\x00", max_size=5)
TYPES = st.recursive(st.builds(Variable, NAMES), lambda sub: st.builds(Application, sub, sub), max_leaves=6)
# What a graph file holds exactly. A lone high surrogate is fine on its own.
SCALARS = (st.none() | st.booleans() | st.integers(-2**70, 2**70) | st.text(alphabet="ab\"\\\n\ud83d\u2028é", max_size=4)
           | st.floats(allow_nan=False, allow_infinity=False))
VALUES = st.recursive(SCALARS, lambda sub: st.lists(sub, max_size=3) | st.dictionaries(st.text(max_size=2), sub, max_size=3),
                      max_leaves=6)
DICTS = st.dictionaries(st.text(alphabet="kéy\ud83d", max_size=3), VALUES, max_size=3)


@st.composite
def graphs(draw):
    """Graphs with shared dicts, keys that are not uids, nodes without a dict,
    edges between nodes never stored, and edges holding a node's older dict."""
    pool = draw(st.lists(DICTS, min_size=1, max_size=4))
    maybe_dict = st.none() | st.sampled_from(pool)
    graph, made = Graph(), []
    for _ in range(draw(st.integers(0, 5))):
        props = draw(maybe_dict)
        node = Node(draw(TYPES)) if props is None else Node(draw(TYPES), props)
        made.append(node)
        if draw(st.integers(0, 3)):
            graph.nodes[draw(st.sampled_from([node.uid(), "k" + node.uid()[:3], "\ud83d"]))] = node
    for _ in range(draw(st.integers(0, 5) if made else st.just(0))):
        start, end = draw(st.sampled_from(made)), draw(st.sampled_from(made))
        edge = Edge(Term(draw(NAMES), draw(TYPES)), start, end, draw(maybe_dict))
        graph.edges[draw(st.sampled_from([edge.uid(), "e"]))] = edge
        if draw(st.integers(0, 3)) == 0:
            start.properties = draw(st.sampled_from(pool))
    return graph


def describe(graph):
    """Everything observable about a graph: keys and order, uids, types,
    terms, hashes, property values (by repr, so 1 and 1.0 differ) and which
    dicts are one object."""
    seen, held = {}, []

    def dict_id(d):
        held.append(d)
        return seen.setdefault(id(d), len(seen))

    def node(n):
        return n.uid(), repr(n.type), hash(n.type), dict_id(n.properties), repr(n.properties)

    return ([(key, node(n)) for key, n in graph.nodes.items()],
            [(key, e.uid(), repr(e.term), hash(e.term), str(e), node(e.start), node(e.end),
              dict_id(e.properties), repr(e.properties)) for key, e in graph.edges.items()])


def same_dicts(a, b):
    """The two graphs hold the very same properties dicts."""
    return (all(x.properties is y.properties for x, y in zip(a.nodes.values(), b.nodes.values()))
            and all(x.properties is y.properties and x.start.properties is y.start.properties
                    for x, y in zip(a.edges.values(), b.edges.values())))


def through_file(graph):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "g.json")
        graph.save(path)
        return Graph.load(path)


ROUND_TRIPS = {
    **{f"pickle-{p}": (lambda g, p=p: pickle.loads(pickle.dumps(g, p))) for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "deepcopy": copy.deepcopy,
    "copy": copy.copy,
    "json": lambda g: Graph.from_json(g.to_json()),
    "json-bytes": lambda g: Graph.from_json(g.to_json().encode()),
    "file": through_file,
    "networkx": lambda g: Graph.from_networkx(g.to_networkx()),
}


@settings(max_examples=300, deadline=None)
@given(graphs(), st.sampled_from(sorted(ROUND_TRIPS)))
def test_round_trips_keep_everything(graph, how):
    before = describe(graph)
    back = ROUND_TRIPS[how](graph)
    assert type(back) is Graph and back is not graph
    assert describe(back) == before
    if how in ("copy", "networkx"):
        assert same_dicts(graph, back)
    elif graph.nodes or graph.edges:
        assert not same_dicts(graph, back)


def test_one_pickle_keeps_sharing_across_objects():
    shared = {"tags": ["a"]}
    a, b = Node(Variable("A"), shared), Node(Variable("B"), shared)
    graph = Graph()
    graph.nodes[a.uid()] = a
    g2, b2, d2 = pickle.loads(pickle.dumps((graph, b, shared)))
    assert g2.nodes[a.uid()].properties is b2.properties is d2
    # A node's dict may hold the node, and the graph itself.
    a.properties["self"], a.properties["graph"] = a, graph
    g3 = pickle.loads(pickle.dumps(graph))
    node = g3.nodes[a.uid()]
    assert node.properties["graph"] is g3 and node.properties["self"].properties is node.properties


# ---------------------------------------------------------------- single objects

A, B = Variable("A"), Variable("B")
f = Term("f", Application(A, B))
OBJECTS = [A, Variable(""), Application(Application(A, B), A), f, Node(A, {"k": [1]}), Node(B), Edge(f, Node(A), Node(B), {"w": 1.5}),
           TypeSchema("$(x:*) -> B$"), NodePattern("n", A, "$*$", {"age": 30}), NodePattern(),
           EdgePattern("e", f, TypeSchema("$knows$"), {"since": 2020}, "backward"), EdgePattern(),
           PathPattern("(a:A {x: [1, 'y']})-[e:knows]->(b)<-[r]-(c)"), PathPattern()]
# Parts no constructor argument holds: parameters and variable-length edges.
PARSED = PathPattern("(a {k: $p, j: 1})-[e:knows*1.. {w: $w}]->(b)-[f*2..3]-(c)")
OBJECTS += [PARSED, *PARSED.nodes[:1], *PARSED.edges]


def observed(obj):
    """What a user can see of an object, patterns' hidden parts included."""
    parts = [type(obj), repr(obj), str(obj)]
    if isinstance(obj, (Variable, Application, Term)):
        parts += [obj.uid(), hash(obj), obj]
    if isinstance(obj, (Node, Edge)):
        parts += [obj.uid(), repr(obj.properties)]
    if isinstance(obj, (NodePattern, EdgePattern)):
        parts += [obj.__reduce__()[1]]  # the constructor call that makes it: every part
    if isinstance(obj, PathPattern):
        parts += [[p.__reduce__()[1] for p in obj.nodes + obj.edges]]
    return parts


COPIES = {**{f"pickle-{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, p))) for p in range(pickle.HIGHEST_PROTOCOL + 1)},
          "copy": copy.copy, "deepcopy": copy.deepcopy}


@pytest.mark.parametrize("how", sorted(COPIES))
@pytest.mark.parametrize("obj", OBJECTS, ids=lambda o: type(o).__name__)
def test_objects_copy_and_pickle(obj, how):
    back = COPIES[how](obj)
    assert observed(back) == observed(obj)
    # Values with no setter copy to themselves; everything else to a new object.
    assert (back is obj) == (how in ("copy", "deepcopy") and isinstance(obj, (Application, TypeSchema)))


def test_copies_of_nodes_share_or_copy_their_dict():
    node = Node(A, {"k": [1]})
    assert copy.copy(node).properties is node.properties
    deep = copy.deepcopy(node)
    assert deep.properties == node.properties and deep.properties["k"] is not node.properties["k"]
    edge = copy.deepcopy(Edge(f, node, node, {"k": [1]}))
    assert edge.start.properties == node.properties and edge.start.properties is not node.properties
    path = PathPattern("(a)")
    assert copy.copy(path).add_node(NodePattern("b")) is not None and repr(path) == "PathPattern(1 nodes, 0 edges)"


@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy])
def test_query_refuses_to_be_copied(action):
    with pytest.raises(TypeError, match="cannot pickle 'Query' object"):
        action(Graph().query())


def test_graph_with_other_entries_still_pickles():
    graph = Graph()
    graph.nodes["bad"], graph.nodes[3] = 5, Node(A)
    back = pickle.loads(pickle.dumps(graph))
    assert list(back.nodes) == ["bad", 3] and back.nodes["bad"] == 5
    with pytest.raises(TypeError, match=re.escape("cannot save graph.nodes['bad']: expected Node, got int")):
        graph.to_json()


# ---------------------------------------------------------------- graph files

def bad(value):
    graph = Graph()
    node = Node(A, {"fine": 1, "bad": value})
    graph.nodes[node.uid()] = node
    return graph, node.uid()


@pytest.mark.parametrize("value, problem", [
    ((1, 2), "a tuple, which is not a JSON value"),
    ({1: "x"}, "a dict whose keys are not all str"),
    ([[{"a": {2}}]], "it holds a set, which is not a JSON value"),
    (float("nan"), "a float that is not finite"),
    ([float("-inf")], "it holds a float that is not finite"),
    (type("Text", (str,), {})("x"), "a Text, which is not a JSON value"),
    (__import__("enum").IntEnum("E", "a").a, "a E, which is not a JSON value"),
    ("\ud800\udc00", "a str whose two lone surrogates JSON reads back as one character"),
])
def test_values_json_cannot_hold_are_refused_and_nothing_is_written(tmp_path, value, problem):
    graph, uid = bad(value)
    with pytest.raises(TypeError) as err:
        graph.to_json()
    assert str(err.value).startswith(f"cannot save property 'bad' of node {uid}: ") and problem in str(err.value)
    target = tmp_path / "g.json"
    Graph().save(target)
    before = target.read_bytes()
    with pytest.raises(TypeError):
        graph.save(target)
    with pytest.raises(TypeError):
        graph.save(tmp_path / "new.json")
    assert os.listdir(tmp_path) == ["g.json"] and target.read_bytes() == before


def test_cycles_and_dict_subclasses_are_refused():
    loop = []
    loop.append(loop)
    graph, uid = bad(loop)
    with pytest.raises(TypeError, match="a list that contains itself"):
        graph.to_json()
    node = next(iter(graph.nodes.values()))
    node.properties = __import__("collections").OrderedDict(a=1)
    with pytest.raises(TypeError, match=f"the properties of node {uid}: a collections.OrderedDict is not a plain dict"):
        graph.to_json()


def sample_graph():
    graph = Graph()
    shared = {"label": "people", "tags": ["a", {"b": None}]}
    nodes = [Node(Variable(name), shared if i % 2 else {"i": i}) for i, name in enumerate("ABCDE")]
    for n in nodes:
        graph.nodes[n.uid()] = n
    for i, (a, b) in enumerate(zip(nodes, nodes[1:] + nodes[:1])):
        e = Edge(Term(f"f{i}", Application(a.type, b.type)), a, b, {"w": i / 3})
        graph.edges[e.uid()] = e
    lone = Node(Application(A, A), {"never": "stored"})
    e = Edge(Term("g", A), lone, nodes[0])
    graph.edges[e.uid()] = e
    return graph


SAMPLE = sample_graph().to_json()
DOC = json.loads(SAMPLE)
WRONG = st.sampled_from([None, "x", -1, 10**9, [], {}, 1.5, True, [0], {"type": 0}])


@st.composite
def shape_mutations(draw):
    """A document with one record made wrong: (section, index, document)."""
    doc = copy.deepcopy(DOC)
    section = draw(st.sampled_from(["types", "properties", "nodes", "edges"]))
    index = draw(st.integers(0, len(doc[section]) - 1))
    record = doc[section][index]
    if isinstance(record, dict) and section in ("nodes", "edges"):
        member = draw(st.sampled_from(sorted(record) + ["unknown"]))
        if draw(st.booleans()) and member in record:
            del record[member]
        else:
            record[member] = draw(WRONG)
    else:
        doc[section][index] = draw(WRONG)
    return section, index, json.dumps(doc)


@settings(max_examples=400, deadline=None)
@given(st.one_of(
    st.integers(0, len(SAMPLE.rstrip()) - 1).map(lambda n: ("truncated", SAMPLE.encode()[:n])),
    st.tuples(st.integers(0, len(SAMPLE) - 1), st.integers(0, 255)).map(
        lambda p: ("flipped", SAMPLE.encode()[:p[0]] + bytes([p[1]]) + SAMPLE.encode()[p[0] + 1:])),
    shape_mutations().map(lambda m: (f"{m[0]}[{m[1]}]", m[2]))))
def test_damaged_files_are_refused_with_the_record_and_place(damage):
    kind, text = damage
    try:
        graph = Graph.from_json(text)
    except ValueError as err:
        message = str(err)
        assert re.match(r"Invalid graph file at line \d+, column \d+( \(.*\))?: ", message), message
        if kind.endswith("]"):  # a key changed may leave an edge's end dangling
            assert f"({kind}" in message or "no node has this key" in message, message
        return
    assert kind != "truncated"
    assert isinstance(graph, Graph)


@pytest.mark.parametrize("change, message", [
    (lambda d: d.update(version=2), "unsupported version 2 (this version of quorvel reads version 1)"),
    (lambda d: d.update(format="other"), '"format" must be "quorvel-graph"'),
    (lambda d: d.pop("edges"), 'the member "edges" is missing'),
    (lambda d: d["edges"][1].update(start="nowhere"), "(edges[1].start): no node has this key"),
    (lambda d: d["nodes"].append(dict(d["nodes"][0])), "(nodes[5].key): an earlier node has this key"),
    (lambda d: d["types"].append([0, len(d["types"])]), 'expected an index into "types", which has'),
    (lambda d: d["properties"][0].update({"k": 1}) or d["types"].insert(0, "\ud800"), "a name cannot hold a lone surrogate"),
])
def test_file_errors_say_what_is_wrong(change, message):
    doc = copy.deepcopy(DOC)
    change(doc)
    with pytest.raises(ValueError) as err:
        Graph.from_json(json.dumps(doc))
    assert message in str(err.value)


def test_members_may_come_in_any_order_and_keys_need_not_be_uids():
    doc = dict(reversed(list(DOC.items())))
    assert describe(Graph.from_json(json.dumps(doc, indent=2))) == describe(Graph.from_json(SAMPLE))
    graph = Graph()
    graph.nodes["people"] = Node(Variable("Person"))
    assert list(Graph.from_json(graph.to_json()).nodes) == ["people"]


def test_load_names_the_file(tmp_path):
    path = tmp_path / "g.json"
    path.write_text("{}", encoding="utf-8")
    with pytest.raises(ValueError, match=re.escape(f"Invalid graph file {str(path)!r} at line 1, column 2: ")):
        Graph.load(path)
    with pytest.raises(FileNotFoundError):
        Graph.load(tmp_path / "missing.json")


def test_interrupted_save_leaves_no_file(tmp_path):
    graph = Graph()
    for i in range(100_000):
        n = Node(Variable(f"T{i}"), {"i": i})
        graph.nodes[n.uid()] = n

    class Stop(Exception):
        pass

    def stop(*_):
        raise Stop

    old = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        with pytest.raises(Stop):
            graph.save(tmp_path / "g.json")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert os.listdir(tmp_path) == []


HOSTILE_ACTIONS = {
    "to_json": Graph.to_json, "pickle": pickle.dumps, "deepcopy": copy.deepcopy, "to_networkx": Graph.to_networkx,
    "to_dot": Graph.to_dot, "save": lambda g: g.save(tempfile.mkdtemp() + "/g.json"),
}


@pytest.mark.parametrize("action", sorted(HOSTILE_ACTIONS))
def test_signal_handlers_changing_the_graph_mid_write_do_no_harm(action):
    graph = Graph()
    nodes = [Node(Variable(f"T{i}"), {"i": [i]}) for i in range(30_000)]
    for n in nodes:
        graph.nodes[n.uid()] = n
    for i, n in enumerate(nodes[:5_000]):
        e = Edge(Term(f"f{i}", n.type), n, nodes[-1 - i], n.properties)
        graph.edges[e.uid()] = e
    calls = iter(range(10**9))

    class Finalizer:  # garbage in a cycle that changes the graph when it is collected
        def __init__(self, node):
            self.cycle, self.node = self, node

        def __del__(self):
            self.node.properties["late"] = None
            graph.nodes[self.node.uid()] = Node(self.node.type)

    def meddle(*_):  # values replaced and released, dicts rebound, now and then a dict grown
        i = next(calls)
        node = nodes[i % len(nodes)]
        node.properties["i"] = [i]
        nodes[-1 - i % len(nodes)].properties = {"i": None}
        graph.nodes[node.uid()] = Node(node.type, {"j": i})
        Finalizer(nodes[(7 * i) % len(nodes)])
        if i % 5 == 4:
            node.properties[f"x{i}"] = i
            gc.collect()

    old = signal.signal(signal.SIGALRM, meddle)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
        try:
            HOSTILE_ACTIONS[action](graph)
        except RuntimeError as err:
            assert "changed size" in str(err)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


# ---------------------------------------------------------------- type text

READABLE = st.text(alphabet="aZé $:*-><", min_size=1, max_size=5).filter(
    lambda s: s == s.strip() and "->" not in s)


@settings(max_examples=500, deadline=None)
@given(st.recursive(st.builds(Variable, READABLE), lambda sub: st.builds(Application, sub, sub), max_leaves=8),
       st.text(alphabet="AB ()->\t\xa0", max_size=12))
def test_parse_type_reads_printed_types(t, text):
    assert parse_type(str(t)) == t
    try:
        read = parse_type(text)
    except ValueError as err:
        position = int(re.fullmatch(r"Invalid type text: .* at position (\d+)", str(err)).group(1))
        assert 0 <= position <= len(text)
    else:
        assert parse_type(str(read)) == read


# ---------------------------------------------------------------- networkx

def test_to_networkx_layout():
    graph = sample_graph()
    G = graph.to_networkx()
    assert isinstance(G, nx.MultiDiGraph)
    key, node = next(iter(graph.nodes.items()))
    assert G.nodes[key]["type"] == node.type and G.nodes[key]["properties"] is node.properties
    detached = [n for n, d in G.nodes(data=True) if d.get("detached")]
    assert detached == [Node(Application(A, A)).uid()]
    for u, v, k, d in G.edges(keys=True, data=True):
        edge = graph.edges[k]
        assert d["term"] == edge.term and d["properties"] is edge.properties
        assert G.nodes[u]["type"] == edge.start.type and G.nodes[v]["type"] == edge.end.type


def test_from_networkx_reads_other_graphs():
    G = nx.DiGraph()
    G.add_node(1, type="Person")
    G.add_node("acme", type=Variable("Company"), properties={"size": 3})
    G.add_edge(1, "acme", term=Term("works_at", parse_type("Person -> Company")))
    graph = Graph.from_networkx(G)
    person = Node(Variable("Person"))
    assert list(graph.nodes) == [person.uid(), "acme"]
    (key, edge), = graph.edges.items()
    assert key == edge.uid() and str(edge) == "Edge(works_at: Person -> Company)"
    assert edge.end.properties is G.nodes["acme"]["properties"]
    G.add_node(2, type="Person")
    with pytest.raises(ValueError, match="two nodes go under the key"):
        Graph.from_networkx(G)
    for bad_graph, message in [(nx.DiGraph([(1, 2)]), 'node 1 has no attribute "type"'),
                               (nx.path_graph(2), 'node 0 has no attribute "type"')]:
        with pytest.raises(TypeError, match=message):
            Graph.from_networkx(bad_graph)
    G = nx.MultiDiGraph()
    G.add_node("a", type="A")
    G.add_edge("a", "a", term="f")
    with pytest.raises(TypeError, match=re.escape("""edge ('a', 'a', 0) needs the attribute "term", a Term""")):
        Graph.from_networkx(G)


class ClashesWithType:
    """A key that meets "type" in a dict lookup and refuses to be compared."""

    def __hash__(self):
        return hash("type")

    def __eq__(self, other):
        raise ZeroDivisionError("asked")


class GraphAttributeNotADict(nx.MultiDiGraph):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.graph = []


@pytest.mark.parametrize("call, error", [
    # An attribute lookup that raises is the error, not a missing attribute.
    (lambda: _clashing_graph(), ZeroDivisionError),
    (lambda: _with_multidigraph(GraphAttributeNotADict, lambda: Graph().to_networkx()), TypeError),
])
def test_networkx_errors_are_raised_as_they_are(call, error):
    with pytest.raises(error):
        call()


def _clashing_graph():
    G = nx.MultiDiGraph()
    G.add_node("a")
    G.nodes["a"][ClashesWithType()] = 1
    return Graph.from_networkx(G)


def _with_multidigraph(cls, call):
    saved = nx.MultiDiGraph
    nx.MultiDiGraph = cls
    try:
        return call()
    finally:
        nx.MultiDiGraph = saved


def test_to_networkx_without_networkx_says_how_to_install():
    code = "import sys; sys.modules['networkx'] = None\nimport quorvel\nquorvel.Graph().to_networkx()"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": os.path.dirname(quorvel.__file__)})
    assert "ImportError: to_networkx needs networkx" in result.stderr and "pip install networkx" in result.stderr


# ---------------------------------------------------------------- DOT

DOT_LINE = re.compile(r'    "(?:[^"\\]|\\.)*"( -> "(?:[^"\\]|\\.)*")? \[label="(?:[^"\\\n]|\\.)*"(, style="rounded,dashed")?\];')


@settings(max_examples=100, deadline=None)
@given(graphs())
def test_dot_text_is_well_formed(graph):
    lines = graph.to_dot(name='say "hi"\\').split("\n")[:-1]
    assert lines[0] == 'digraph "say \\"hi\\"\\\\" {' and lines[-1] == "}"
    matches = [DOT_LINE.fullmatch(line) for line in lines[4:-1]]
    assert all(matches), lines
    assert sum(bool(m.group(1)) for m in matches) == len(graph.edges)


def test_dot_draws_stored_nodes_and_loose_ends():
    text = sample_graph().to_dot()
    assert text.count('style="rounded,dashed"') == 1 and text.count(" -> ") >= 6
    assert '[label="B\\nlabel: people\\ntags: [\'a\', {\'b\': None}]"];' in text


# ---------------------------------------------------------------- deep types

@pytest.mark.slow
def test_a_type_a_million_deep_goes_everywhere():
    t = A
    for _ in range(10**6):
        t = Application(t, B)
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        assert pickle.loads(pickle.dumps(t, protocol)) == t
    assert copy.deepcopy(t) is t and copy.deepcopy(Term("f", t)).type == t
    assert parse_type(str(t)) == t
    graph = Graph()
    node = Node(t)
    graph.nodes[node.uid()] = node
    for back in (pickle.loads(pickle.dumps(graph)), Graph.from_json(graph.to_json()),
                 Graph.from_networkx(graph.to_networkx())):
        assert back.nodes[node.uid()].type == t
    assert len(graph.to_dot()) > 6 * 10**6
