"""Workloads on large graphs, run by bench/run.py in a child process of their own.

`two_hop(h, ...)`: 200,000 nodes of one type each (T0 ... T199999) and
1,000,000 edges between random nodes (seeded); build time and resident
memory, the two-hop count against networkx, its memory, the same with
limit(1), a two-hop walk from one typed node, and how soon Ctrl-C stops a
two-hop query that would run for seconds.

`persistence(h, n)`: n nodes and n edges saved and loaded, and pickled,
against json of plain dicts and against networkx's pickle. run.py runs it at
10^4 in the default set and at 10^6 in the large section.

Each function receives the harness module `h` and records rows through
`h.measure` / `h.record`; absolute targets (`("abs", limit)`) compare the
figure itself, in the row's unit.
"""

import gc
import itertools
import json
import os
import pickle
import random
import signal
import tempfile
import time

from quorvel import Application, Edge, Graph, Node, Term, Variable

MB = 2**20
MS = 10**6  # measure() divides ns by n: n = MS gives milliseconds per call
S = 10**9


def status_mb(field):
    """A memory figure of this process from /proc/self/status (VmRSS, VmHWM), in MB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024 / MB
    return None


def reset_peak():
    """Make VmHWM the current RSS again, so a later peak belongs to what ran since."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def rss_added(fn):
    """(peak RSS during fn minus RSS before, in MB, or None where the peak cannot be reset; result)."""
    gc.collect()
    before = status_mb("VmRSS")
    if not reset_peak():
        return None, fn()
    result = fn()
    return status_mb("VmHWM") - before, result


def timed(fn):
    gc.disable()
    try:
        t0 = time.perf_counter()
        result = fn()
        return time.perf_counter() - t0, result
    finally:
        gc.enable()


# ---------------------------------------------------------------- two hops on a random graph

def random_ends(n, m, seed=2027):
    rng = random.Random(seed)
    return [(rng.randrange(n), rng.randrange(n)) for _ in range(m)]


def build_graph(n, ends, edge_properties=False):
    """Nodes T0 .. T<n-1> with the property v = i, one edge e<j> per (a, b) in ends, with w = j if asked."""
    g = Graph()
    gn, ge = g.nodes, g.edges
    nodes = []
    for i in range(n):
        nd = Node(Variable(f"T{i}"), {"v": i})
        gn[nd.uid()] = nd
        nodes.append(nd)
    for j, (a, b) in enumerate(ends):
        s, t = nodes[a], nodes[b]
        e = Edge(Term(f"e{j}", Application(s.type, t.type)), s, t, {"w": j} if edge_properties else None)
        ge[e.uid()] = e
    return g


def build_nx(nx, n, ends):
    G = nx.MultiDiGraph()
    for i in range(n):
        G.add_node(f"T{i}", v=i)
    for j, (a, b) in enumerate(ends):
        G.add_edge(f"T{a}", f"T{b}", key=f"e{j}")
    return G


def nx_two_hops(G):
    """Two-hop paths of distinct edges, as a networkx user loops over them."""
    return ((a, b, c) for a, b, k1 in G.edges(keys=True) for _, c, k2 in G.out_edges(b, keys=True) if k1 != k2)


TWO_HOPS = "(a)-[e1]->(b)-[e2]->(c)"


def two_hop(h, nx, n=200_000, m=1_000_000):
    ends = random_ends(n, m)
    gc.collect()
    rss0 = status_mb("VmRSS")
    build_s, g = timed(lambda: build_graph(n, ends))
    gc.collect()
    rss_q = status_mb("VmRSS") - rss0
    build_nx_s, G = timed(lambda: build_nx(nx, n, ends))
    gc.collect()
    rss_nx = status_mb("VmRSS") - rss0 - rss_q
    h.record(f"large build {n} nodes + {m} edges", 1, build_s, build_nx_s, None, unit="s", group="large")
    h.record("large RSS of the built graph", 1, rss_q, rss_nx, None, unit="MB", group="large")

    def count():
        return g.query().match(TWO_HOPS).return_count()

    def nx_count():
        return sum(1 for _ in nx_two_hops(G))

    paths = []

    def same(impl, peer, floor):
        if impl != peer:
            raise AssertionError(f"two-hop count {impl}, networkx {peer}")
        paths.append(impl)

    row = h.measure("large 2-hop count", S, count, nx_count, unit="s", target=("abs", 1.5), group="large",
                    check=same)
    h.NOTES.append(f"large: {n} nodes, {m} random edges (seed 2027), {paths[0] if paths else '?'} two-hop paths; "
                   "builds timed with the garbage collector off, as every timed run")
    if row:
        added, _ = rss_added(count)
        nx_added, _ = rss_added(nx_count)
        h.record("large 2-hop count: RSS added", 1, added, nx_added, None, unit="MB", target=("abs", 150),
                 group="large")

    h.measure("large 2-hop limit(1).return_count", MS, lambda: g.query().match(TWO_HOPS).limit(1).return_count(),
              lambda: len(list(itertools.islice(nx_two_hops(G), 1))), unit="ms", target=("abs", 10),
              group="large", check=same)

    def typed():
        return g.query().match("(a:T5)-[e1]->(b)-[e2]->(c)").return_("c")

    def nx_typed():
        return [c for _, b, k1 in G.out_edges("T5", keys=True) for _, c, k2 in G.out_edges(b, keys=True) if k1 != k2]

    def same_ends(impl, peer, floor):
        if sorted(r["c"].type.name for r in impl) != sorted(peer):
            raise AssertionError(f"(a:T5) two hops: {len(impl)} rows, networkx {len(peer)}")

    h.measure("large (a:T5)-[e1]->(b)-[e2]->(c) return_ c", MS, typed, nx_typed, unit="ms", target=("abs", 1),
              group="large", check=same_ends)

    interrupt(h, g, n, m)


def interrupt(h, g, n, m, after=0.2):
    """Ctrl-C arrives while a query runs: how soon does the query stop, and is all well after?"""
    query = g.query().match(TWO_HOPS)
    handled = []

    def on_alarm(signum, frame):
        handled.append(time.perf_counter())
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, on_alarm)
    caught = None
    try:
        armed = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, after)
        try:
            rows = query.return_("a", "b", "c")
            finished = time.perf_counter()
            signal.setitimer(signal.ITIMER_REAL, 0)
            del rows
        except KeyboardInterrupt:
            caught = time.perf_counter()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    if caught is None:
        h.NOTES.append(f"large Ctrl-C: the query finished after {finished - armed:.3f} s, before the signal")
        return
    # The timer fires `after` seconds after it is armed; the handler runs only once the
    # module returns to the interpreter or checks for signals.
    fired = armed + after
    intact = len(g.nodes) == n and len(g.edges) == m
    again = len(query.limit(5).return_("a", "b", "c"))
    h.record("large Ctrl-C latency (2-hop return_ a, b, c)", 1, caught - fired, None, None, unit="s",
             target=("abs", 0.1), group="large")
    h.NOTES.append(f"large Ctrl-C: handler ran {handled[0] - fired:.3f} s after the signal, caught "
                   f"{caught - fired:.3f} s after it; graph {'intact' if intact else 'CHANGED'}; the same query "
                   f"then gave {again} rows with limit(5)")
    if not intact or again != 5:
        raise AssertionError("the interrupted query left the graph or the query unusable")


# ---------------------------------------------------------------- persistence

def persist_content(n, nx):
    """A graph of n nodes and n edges, and the same as a networkx graph and as plain dicts."""
    g = build_graph(n, ((j, (7 * j + 1) % n) for j in range(n)), edge_properties=True)
    plain = {
        "nodes": {uid: {"type": nd.type.name, "properties": dict(nd.properties)} for uid, nd in g.nodes.items()},
        "edges": {uid: {"term": e.term.name, "type": [e.start.type.name, e.end.type.name], "start": e.start.uid(),
                        "end": e.end.uid(), "properties": dict(e.properties)} for uid, e in g.edges.items()},
    }
    G = None
    if nx is not None:
        G = nx.MultiDiGraph()
        G.add_nodes_from((nd.type.name, nd.properties) for nd in g.nodes.values())
        G.add_edges_from((e.start.type.name, e.end.type.name, e.term.name, e.properties) for e in g.edges.values())
    return g, G, plain


def persistence_available():
    try:
        pickle.loads(pickle.dumps(Graph()))
        can_pickle = True
    except (TypeError, pickle.PicklingError, AttributeError):
        can_pickle = False
    return hasattr(Graph, "save") and hasattr(Graph, "load"), can_pickle


def persistence(h, nx, n, label):
    can_save, can_pickle = persistence_available()
    if not (can_save or can_pickle):
        h.NOTES.append(f"skipped persistence ({label}): Graph has no save/load and does not pickle")
        return
    g, G, plain = persist_content(n, nx)

    def same_graph(impl, peer, floor):
        if set(impl.nodes) != set(g.nodes) or set(impl.edges) != set(g.edges):
            raise AssertionError("the graph read back has other nodes or edges")
        some = next(iter(g.edges))
        if impl.edges[some].properties != g.edges[some].properties:
            raise AssertionError("the graph read back has other edge properties")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "graph")
        json_path = os.path.join(tmp, "plain.json")

        def save_load():
            g.save(path)
            return Graph.load(path)

        def json_round_trip():
            with open(json_path, "w") as f:
                json.dump(plain, f)
            with open(json_path) as f:
                return json.load(f)

        if can_save:
            h.measure(f"{label} save + load", 2 * n, save_load, None, json_round_trip, target=("floor", 2.0),
                      group="persist", check=same_graph)
    if can_pickle:
        protocol = pickle.HIGHEST_PROTOCOL
        h.measure(f"{label} pickle dumps + loads", 2 * n, lambda: pickle.loads(pickle.dumps(g, protocol)),
                  (lambda: pickle.loads(pickle.dumps(G, protocol))) if G is not None else None,
                  lambda: pickle.loads(pickle.dumps(plain, protocol)), target=("peer", 1.5), group="persist",
                  check=same_graph)
