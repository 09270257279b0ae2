#!/usr/bin/env python3
"""Benchmark harness: quorvel against networkx and against Python floors.

Every workload is timed in one process, interleaved (impl, peer, floor,
repeated), best of K rounds after a warm-up, with the garbage collector
disabled while a round runs. Figures are ns per element (per node or edge
visited, per call, ...); memory rows are bytes per object, measured in a
child process running with PYTHONMALLOC=malloc so that one allocator sees
every byte (Python objects and C++ values alike).

    PYTHONPATH=build python3 bench/run.py [--quick] [--large] [--json PATH] [--only GROUPS]

Ratios are what matters; absolute times on shared machines are noise. A
workload whose first run raises (a feature not built yet) is skipped with a
note; every other one is first checked against its peer's answer.

Groups: "real" queries the standard library's type stubs (bench/typeshed.py,
Debian package python3-mypy) as a typed graph; "persist" saves, loads and
pickles a graph of 10^4 nodes and edges; "parse" holds PathPattern.parse to
a plain-Python reading of the same rules (bench/pattern_reader.py).

--large adds a section that is not run by default: it takes a few minutes
and 2-3 GB, more while an engine that misses Ctrl-C runs the interrupted
query (5 million rows) to its end. In a child process of its own: a random
graph of 200,000 typed nodes and 1,000,000 edges (build time, resident
memory, two-hop count and its memory, limit(1), a two-hop walk from one typed
node, Ctrl-C latency); in a second child, save/load and pickle of 10^6 nodes
and 10^6 edges. Those rows carry absolute targets (seconds, MB) besides the
ratios. --baseline compares with the JSON of an earlier run.
"""

import argparse
import collections
import ctypes
import gc
import hashlib
import itertools
import json
import os
import subprocess
import sys
import tempfile
import time

import quorvel
from quorvel import Application, Edge, Graph, Node, PathPattern, Term, TypeSchema, Variable

try:
    import networkx as nx
except ImportError:  # the peer is optional; its columns stay empty
    nx = None

perf_ns = time.perf_counter_ns

# ---------------------------------------------------------------- timing core

ROWS = []
NOTES = []


class Timed:
    """A timed callable with an untimed per-round setup: run(setup())."""

    def __init__(self, run, setup=None):
        self.run = run
        self.setup = setup

    def once(self):
        state = self.setup() if self.setup else None
        gc.disable()
        try:
            t0 = perf_ns()
            result = self.run(state) if self.setup else self.run()
            dt = perf_ns() - t0
        finally:
            gc.enable()
        return dt, result


def as_timed(f):
    if f is None or isinstance(f, Timed):
        return f
    return Timed(f)


def measure(name, n, impl, peer=None, floor=None, *, unit="ns", target=None, group=None, check=None):
    """Time impl/peer/floor interleaved; record ns per element (n elements per call)."""
    fns = [as_timed(impl), as_timed(peer), as_timed(floor)]
    try:
        # Warm-up (also the place to compare results).
        warm = [f.once() if f else (0, None) for f in fns]
    except Exception as exc:  # a feature not built yet
        NOTES.append(f"skipped {name}: {type(exc).__name__}: {exc}")
        return None
    if check is not None:
        try:
            check(*(r for _, r in warm))
        except AssertionError as exc:  # a wrong answer is a failed row, not the end of the run
            NOTES.append(f"WRONG ANSWER {name}: {exc}")
            row = record(name, n, None, None, None, unit=unit, group=group)
            row["target"], row["ok"] = "same answer", False
            return None
    # A workload that takes seconds gets fewer rounds, so that one slow engine
    # path cannot stretch the whole run by minutes.
    rounds = max(1, min(ARGS.rounds, int(ARGS.budget * 1e9 // max(1, sum(dt for dt, _ in warm)))))
    del warm
    gc.collect()  # once per workload: a full collection costs milliseconds on a big heap
    best = [None, None, None]
    for _ in range(rounds):
        for i, f in enumerate(fns):
            if f is None:
                continue
            dt, _ = f.once()
            if best[i] is None or dt < best[i]:
                best[i] = dt
    vals = [b / n if b is not None else None for b in best]
    return record(name, n, *vals, unit=unit, target=target, group=group)


def record(name, n, impl, peer, floor, *, unit, target=None, group=None):
    row = {
        "workload": name,
        "group": group,
        "unit": unit,
        "n": n,
        "impl": impl,
        "peer": peer,
        "floor": floor,
        "impl_peer": impl / peer if impl is not None and peer else None,
        "impl_floor": impl / floor if impl is not None and floor else None,
        "target": None,
        "ok": None,
    }
    if target:
        kind, limit = target  # ("peer", 0.3) / ("floor", 3.0) / ("abs", 10): impl itself, in unit
        ratio = {"peer": row["impl_peer"], "floor": row["impl_floor"], "abs": impl}[kind]
        row["target"] = f"<={limit:g} {unit}" if kind == "abs" else f"{kind}<={limit:g}"
        row["ok"] = ratio is not None and ratio <= limit
    ROWS.append(row)
    if ARGS.verbose:
        print_row(row, sys.stderr)
    return row


def same_len(*results):
    lens = {len(r) for r in results if r is not None}
    if len(lens) > 1:
        raise AssertionError(f"result sizes differ between impl/peer/floor: {lens}")


def same_len_impl_peer(impl, peer, floor):
    if peer is not None and len(impl) != len(peer):
        raise AssertionError(f"impl found {len(impl)} rows, peer {len(peer)}")


# ---------------------------------------------------------------- data

def sha_hex(text):
    return hashlib.sha256(text.encode()).hexdigest()


def uid_workloads(n):
    vs = [Variable(f"v{i}") for i in range(n + 2)]
    apps = [Application(Application(vs[i], vs[i + 1]), vs[i + 2]) for i in range(n)]
    terms = [Term(f"t{i}", apps[i]) for i in range(n)]
    nodes = [Node(apps[i], {"i": i}) for i in range(n)]
    edges = [Edge(terms[i], nodes[i], nodes[(i + 1) % n]) for i in range(n)]
    vs = vs[:n]
    # The floor digests the same top-level input each uid digests.
    inputs = {
        "Variable": [("var:" + v.name).encode() for v in vs],
        "Application": [("app:" + a.left.uid() + ":" + a.right.uid()).encode() for a in apps],
        "Term": [("term:" + t.name + ":" + t.type.uid()).encode() for t in terms],
        "Node": [("node:" + nd.type.uid()).encode() for nd in nodes],
        "Edge": [("edge:" + e.term.uid()).encode() for e in edges],
    }
    objs = {"Variable": vs, "Application": apps, "Term": terms, "Node": nodes, "Edge": edges}
    # Sanity: the floor really computes the same identifiers.
    for k in objs:
        assert hashlib.sha256(inputs[k][0]).hexdigest() == objs[k][0].uid(), k
    sha = hashlib.sha256

    def uid_loop(xs):
        def run():
            for x in xs:
                x.uid()
        return run

    def floor_loop(bs):
        def run():
            for b in bs:
                sha(b).hexdigest()
        return run

    for k in objs:
        measure(f"uid {k}", n, uid_loop(objs[k]), None, floor_loop(inputs[k]),
                target=("floor", 0.25), group="uid")
    mix = [o for k in objs for o in objs[k]]
    mix_in = [b for k in objs for b in inputs[k]]
    measure("uid mix", len(mix), uid_loop(mix), None, floor_loop(mix_in), target=("floor", 0.25), group="uid")
    # A fresh type tree each call: nothing memoized yet (depth-3 applications).
    names = [(f"p{i}", f"q{i}", f"r{i}") for i in range(n)]

    def fresh():
        for a, b, c in names:
            Application(Application(Variable(a), Variable(b)), Variable(c)).uid()

    def fresh_floor():
        for a, b, c in names:
            ua = sha(("var:" + a).encode()).hexdigest()
            ub = sha(("var:" + b).encode()).hexdigest()
            uc = sha(("var:" + c).encode()).hexdigest()
            uab = sha(("app:" + ua + ":" + ub).encode()).hexdigest()
            sha(("app:" + uab + ":" + uc).encode()).hexdigest()

    measure("uid fresh ((a->b)->c) incl. build", n, fresh, None, fresh_floor, group="uid")


def build_workloads(n):
    types = [Variable(f"T{i}") for i in range(n)]
    keys = [f"T{i}" for i in range(n)]
    for t in types:
        t.uid()  # types are built once and reused, as in a real model
    m = 2 * n
    terms = [Term(f"f{j}", Application(types[j % n], types[(7 * j + 3) % n])) for j in range(m)]
    tkeys = [f"f{j}" for j in range(m)]
    ends = [(j % n, (7 * j + 3) % n) for j in range(m)]
    nodes = [Node(t, {"i": i}) for i, t in enumerate(types)]
    rng = range(n)

    def build_nodes():
        return [Node(types[i], {"i": i}) for i in rng]

    def nx_add_nodes():
        G = nx.MultiDiGraph()
        for i in rng:
            G.add_node(keys[i], type=types[i], i=i)
        return G

    def floor_nodes():
        return [{"type": types[i], "i": i} for i in rng]

    measure("build Node()", n, build_nodes, nx_add_nodes if nx else None, floor_nodes,
            target=("peer", 0.3), group="build")

    def load_nodes():
        g = Graph()
        gn = g.nodes
        for i in rng:
            nd = Node(types[i], {"i": i})
            gn[nd.uid()] = nd
        return g

    def floor_load_nodes():
        d = {}
        for i in rng:
            d[keys[i]] = {"type": types[i], "i": i}
        return d

    measure("build+load Node into Graph", n, load_nodes, nx_add_nodes if nx else None, floor_load_nodes,
            target=("peer", 0.3), group="build")

    mrng = range(m)

    def build_edges():
        return [Edge(terms[j], nodes[ends[j][0]], nodes[ends[j][1]], {"w": j}) for j in mrng]

    def nx_setup():
        G = nx.MultiDiGraph()
        for i in rng:
            G.add_node(keys[i], type=types[i], i=i)
        return G

    def nx_add_edges(G):
        for j in mrng:
            a, b = ends[j]
            G.add_edge(keys[a], keys[b], key=tkeys[j], term=terms[j], w=j)
        return G

    def floor_edges():
        return [{"term": terms[j], "start": ends[j][0], "end": ends[j][1], "w": j} for j in mrng]

    peer = Timed(nx_add_edges, nx_setup) if nx else None
    measure("build Edge()", m, build_edges, peer, floor_edges, target=("peer", 0.3), group="build")

    def load_edges(g):
        ge = g.edges
        for j in mrng:
            a, b = ends[j]
            e = Edge(terms[j], nodes[a], nodes[b], {"w": j})
            ge[e.uid()] = e
        return g

    def floor_load_edges():
        d = {}
        for j in mrng:
            d[tkeys[j]] = {"term": terms[j], "start": ends[j][0], "end": ends[j][1], "w": j}
        return d

    measure("build+load Edge into Graph", m, Timed(load_edges, load_nodes), peer, floor_load_edges,
            target=("peer", 0.3), group="build")


def make_graphs(n, m):
    """The same model as a quorvel Graph and as a networkx MultiDiGraph."""
    types = [Variable(f"T{i}") for i in range(n)]
    g = Graph()
    nodes = []
    for i, t in enumerate(types):
        nd = Node(t, {"i": i, "group": i % 10})
        g.nodes[nd.uid()] = nd
        nodes.append(nd)
    G = nx.MultiDiGraph() if nx else None
    if G is not None:
        for i in range(n):
            G.add_node(f"T{i}", type=f"T{i}", i=i, group=i % 10)
    for j in range(m):
        a, b = j % n, (7 * j + 3) % n
        e = Edge(Term(f"f{j}", Application(types[a], types[b])), nodes[a], nodes[b], {"w": j})
        g.edges[e.uid()] = e
        if G is not None:
            G.add_edge(f"T{a}", f"T{b}", key=f"f{j}", term=f"f{j}", tt=(f"T{a}", f"T{b}"), w=j)
    return types, g, G


def match_workloads(n, m):
    types, g, G = make_graphs(n, m)
    gn, ge = g.nodes, g.edges
    T = types[n // 2]
    tname = f"T{n // 2}"

    def floor_nodes():
        return list(gn.values())

    def floor_edges():
        return list(ge.values())

    def typed():
        return g.query().match(node="n", type=T).return_("n")

    def nx_typed():
        return [{"n": k} for k, d in G.nodes(data=True) if d["type"] == tname]

    measure("typed node match (1 hit)", n, typed, nx_typed if G else None, floor_nodes,
            target=("peer", 0.1), group="match", check=same_len_impl_peer)
    r = ROWS[-1] if ROWS and ROWS[-1]["workload"].startswith("typed") else None
    if r:  # the row's second target: per node visited, against the dict walk
        record("typed node match vs floor", n, r["impl"], None, r["floor"], unit="ns",
               target=("floor", 3.0), group="match")

    def prop():
        return g.query().match(node="n", properties={"group": 3}).return_("n")

    def nx_prop():
        return [{"n": k} for k, d in G.nodes(data=True) if d.get("group") == 3]

    measure("property match (10% hit)", n, prop, nx_prop if G else None, floor_nodes,
            target=("peer", 0.3), group="match", check=same_len_impl_peer)

    def untyped_all():
        return g.query().match(node="n").return_("n")

    def nx_all():
        return [{"n": k} for k in G.nodes]

    measure("untyped node match (all)", n, untyped_all, nx_all if G else None, floor_nodes,
            group="match", check=same_len_impl_peer)

    paths = [
        ("path term schema $T1 -> *$", "(a)-[e:$T1 -> *$]->(b)",
         lambda: [{"a": u, "e": d, "b": v} for u, v, d in G.edges(data=True) if d["tt"][0] == "T1"]),
        ("path term schema $* -> *$ (all)", "(a)-[e:$* -> *$]->(b)",
         lambda: [{"a": u, "e": d, "b": v} for u, v, d in G.edges(data=True)]),
        ("path node schemas (a:T1)->(b:T10)", "(a:T1)-[e]->(b:T10)",
         lambda: [{"a": u, "e": d, "b": v} for u, v, d in G.edges(data=True)
                  if G.nodes[u]["type"] == "T1" and G.nodes[v]["type"] == "T10"]),
        ("path nodes+term (a:T1)-[$T1 -> T10$]->(b:T10)", "(a:T1)-[e:$T1 -> T10$]->(b:T10)",
         lambda: [{"a": u, "e": d, "b": v} for u, v, d in G.edges(data=True)
                  if d["tt"] == ("T1", "T10") and G.nodes[u]["type"] == "T1" and G.nodes[v]["type"] == "T10"]),
    ]
    for label, pat, peer in paths:
        def run(pat=pat):
            return g.query().match(pat).return_("a", "e", "b")

        limit = 0.15 if label.startswith("path term schema") else 0.1
        measure(label, m, run, peer if G else None, floor_edges,
                target=("peer", limit), group="match", check=same_len_impl_peer)

    # Three nodes, a condition and a limit: what a caller asks for a first look.
    def chain():
        return g.query().match("(a)-[e1]->(b)-[e2]->(c)").where("c.group = 3").limit(10).return_("a", "b", "c")

    def nx_chain():
        group = G.nodes(data="group")
        return list(itertools.islice(((a, b, c) for a, b, k1 in G.edges(keys=True)
                                      for _, c, k2 in G.out_edges(b, keys=True)
                                      if k1 != k2 and group[c] == 3), 10))

    def check_chain(impl, peer, floor):
        same_len_impl_peer(impl, peer, floor)
        assert all(r["c"].properties["group"] == 3 for r in impl), "a row fails the condition"

    measure("2-hop match.where.limit(10).return_", m, chain, nx_chain if G else None, None,
            target=("peer", 1.5), group="match", check=check_chain)


def schema_workloads(n):
    A, B, C, P = Variable("A"), Variable("B"), Variable("C"), Variable("Person")
    AB = Application(A, B)
    simple_types = [P, Variable("Other"), AB, Application(P, P)] * (n // 4)
    nested_types = [Application(AB, C), Application(Application(B, A), C), Application(A, Application(B, C)), C] * (n // 4)
    V = Variable
    cases = [
        ("schema matches $Person$", TypeSchema("$Person$"), "matches", simple_types),
        ("schema matches $*$", TypeSchema("$*$"), "matches", simple_types),
        ("schema matches (f:A -> B) -> (x:*)", TypeSchema("$(f:A -> B) -> (x:*)$"), "matches", nested_types),
        ("schema capture $(x:*)$", TypeSchema("$(x:*)$"), "capture", simple_types),
        ("schema capture (f:A -> B) -> (x:*)", TypeSchema("$(f:A -> B) -> (x:*)$"), "capture", nested_types),
    ]
    for label, s, meth, ts in cases:
        f = getattr(s, meth)

        def run(f=f, ts=ts):
            for t in ts:
                f(t)

        def floor(ts=ts):  # the cost of one C call per type from a Python loop
            for t in ts:
                isinstance(t, V)

        measure(label, len(ts), run, None, floor, group="schema")

    texts = ["$Person$", "$(f:A -> B) -> (x:*)$", "$" + " -> ".join(f"(x{i}:*)" for i in range(8)) + "$"]

    def compile_():
        for _ in range(n // 10):
            for t in texts:
                TypeSchema(t)

    measure("TypeSchema() compile (3 patterns)", (n // 10) * len(texts), compile_, None, None, group="schema")



def parse_workloads(n):
    import pattern_reader

    short = "(n:Person)-[e:knows]->(m:Person)"
    long_ = "".join(f"(a{i}:$T{i} -> *$)-[e{i}:$T{i} -> T{i + 1}$]->" if i % 2 == 0 else f"(a{i}:T{i})<-[e{i}]-"
                    for i in range(10)) + "(z)"
    for label, text, div in (("PathPattern.parse short", short, 10),
                             (f"PathPattern.parse long ({len(long_)} chars, 10 edges)", long_, 40)):
        reps = max(1, n // div)

        def run(text=text, reps=reps):
            parse = PathPattern.parse
            for _ in range(reps):
                parse(text)

        def floor(text=text, reps=reps):  # the same rules read in plain Python
            read = pattern_reader.read_path
            for _ in range(reps):
                read(text)

        def check(impl, peer, floor, text=text):
            p, (nodes, edges) = PathPattern.parse(text), pattern_reader.read_path(text)
            if [e.direction for e in p.edges] != [e[2] for e in edges] or len(p.nodes) != len(nodes):
                raise AssertionError(f"the parser and the plain reading disagree on {text}")

        measure(label, reps, run, None, floor, target=("floor", 1 / 30), group="parse", check=check)


def builder_workloads(n):
    A = Variable("A")
    B = Variable("B")
    g = Graph()
    for t in (A, B, Application(A, B)):
        nd = Node(t, {"k": 1})
        g.nodes[nd.uid()] = nd
    e = Edge(Term("f", Application(A, B)), Node(A), Node(B))
    g.edges[e.uid()] = e
    G = None
    if nx:
        G = nx.MultiDiGraph()
        G.add_node("A", type="A", k=1)
        G.add_node("B", type="B", k=1)
        G.add_node("(A -> B)", type="(A -> B)", k=1)
        G.add_edge("A", "B", key="f", term="f")
    reps = max(10, n // 10)
    rr = range(reps)

    def tiny():
        for _ in rr:
            g.query().match(node="n", type=A).return_("n")

    def nx_tiny():
        for _ in rr:
            [{"n": k} for k, d in G.nodes(data=True) if d["type"] == "A"]

    measure("builder chain tiny graph: query().match(type).return_", reps, tiny, nx_tiny if G else None, None,
            group="builder")

    def tiny_path():
        for _ in rr:
            g.query().match("(a)-[e]->(b)").return_("a", "e", "b")

    measure("builder chain tiny graph: query().match(path).return_", reps, tiny_path, None, None, group="builder")

    def tiny_where():
        for _ in rr:
            g.query().match(node="n").where("n.k = 1").order_by("n", "k").limit(2).return_("n")

    measure("builder chain tiny graph: match.where.order_by.limit.return_", reps, tiny_where, None, None,
            group="builder")

    # A chain of 1,000 builders on one query.
    chain = 1000

    def chain_run():
        q = g.query()
        for _ in range(chain):
            q = q.match(node="n", type=A)
        return q

    measure("chain of 1000 match builders (per call)", chain, chain_run, None, None, group="builder")

    # Cost of one builder call on a query whose queue already holds L
    # operations. A builder appends to the query it is called on too, so each
    # round starts from a fresh copy (execute() copies without appending; on
    # an empty graph its run is cheap) and makes only `calls` calls.
    calls = 10
    empty = Graph()
    per_len = {}
    for L in (10, 100, 1000):
        base = empty.query()
        for _ in range(L):
            base = base.match(node="n", type=A)

        def one(q):
            for _ in range(calls):
                q.match(node="n", type=A)

        r = measure(f"builder call at queue length {L}", calls, Timed(one, base.execute), group="builder")
        if r:
            per_len[L] = r["impl"]
    if len(per_len) == 3:
        growth = per_len[1000] / per_len[10]
        NOTES.append(f"builder call cost queue 1000 / queue 10 = {growth:.2f} (target ~1: O(1) in queue length)")
        ROWS.append({"workload": "builder growth queue 1000/10", "group": "builder", "unit": "x", "n": None,
                     "impl": growth, "peer": None, "floor": None, "impl_peer": None, "impl_floor": None,
                     "target": "<=1.5", "ok": growth <= 1.5})

    # ... and on a query whose bindings hold B nodes (queue length 1).
    per_b = {}
    for nb in sorted({10, min(1000, n), n}):
        gb = Graph()
        for i in range(nb):
            nd = Node(Variable(f"B{i}"))
            gb.nodes[nd.uid()] = nd
        try:
            base = gb.query().match(node="n").execute()
        except Exception as exc:
            NOTES.append(f"skipped builder-with-bindings: {exc}")
            break
        if base.return_count() != nb:
            raise AssertionError("binding size")
        # Each round works on a fresh copy made by a builder on `base` (base
        # grows by one operation per round, which is negligible here).
        def one(q):
            for _ in range(calls):
                q.where("x")

        def fresh(base=base):
            return base.where("x")

        r = measure(f"builder call with binding of {nb} nodes", calls, Timed(one, fresh), group="builder")
        if r:
            per_b[nb] = r["impl"]
    if len(per_b) >= 2:
        ks = sorted(per_b)
        growth = per_b[ks[-1]] / per_b[ks[0]]
        NOTES.append(f"builder call cost binding {ks[-1]} / binding {ks[0]} = {growth:.2f} (target ~1)")
        ROWS.append({"workload": f"builder growth binding {ks[-1]}/{ks[0]}", "group": "builder", "unit": "x",
                     "n": None, "impl": growth, "peer": None, "floor": None, "impl_peer": None,
                     "impl_floor": None, "target": "<=1.5", "ok": growth <= 1.5})


def merge_workloads(n):
    types = [Variable(f"M{i}") for i in range(n)]
    keys = [f"M{i}" for i in range(n)]
    for t in types:
        t.uid()

    def merges(g):
        for t in types:
            g.query().merge(node="n", type=t).execute()
        return g

    def nx_merges(G):
        for k, t in zip(keys, types):
            if k not in G:
                G.add_node(k, type=t)
        return G

    def floor_merges(d):
        for k, t in zip(keys, types):
            if k not in d:
                d[k] = {"type": t}
        return d

    def check(g, G, d):
        assert len(g.nodes) == n, len(g.nodes)

    measure(f"typed merge building {n} types (per merge)", n, Timed(merges, Graph),
            Timed(nx_merges, nx.MultiDiGraph) if nx else None, Timed(floor_merges, dict), group="merge",
            check=check)

    # Merging types that are all present again: a typed lookup on an unchanged dict.
    g = merges(Graph())
    G = nx_merges(nx.MultiDiGraph()) if nx else None
    d = floor_merges({})
    measure(f"typed merge hit, graph of {n} types (per merge)", n, lambda: merges(g),
            (lambda: nx_merges(G)) if G is not None else None, lambda: floor_merges(d), group="merge")
    half = max(1, n // 2)
    measure(f"typed merge building {half} types (per merge)", half, Timed(lambda g: [g.query().merge(
        node="n", type=t).execute() for t in types[:half]], Graph), None, None, group="merge")


# ---------------------------------------------------------------- real data: the stdlib's type stubs

def real_workloads():
    """Queries over the standard library's stubs, each checked against networkx first."""
    import oracles
    import typeshed

    if nx is None:
        NOTES.append("skipped real: networkx is absent")
        return
    t0 = time.perf_counter()
    got = typeshed.load(nx=nx)
    if got is None:
        NOTES.append(f"skipped real: no stubs under {typeshed.STUBS} (Debian package python3-mypy)")
        return
    g, G, nfuncs = got
    gn, ge, adj = g.nodes, g.edges, G.adj
    n_nodes, n_edges = len(gn), len(ge)
    NOTES.append(f"real: {nfuncs} single-argument functions in the stdlib stubs give {n_nodes} types and "
                 f"{n_edges} distinct terms (networkx: {G.number_of_nodes()} nodes, {G.number_of_edges()} edges); "
                 f"read and built in {time.perf_counter() - t0:.1f} s; rows are ns per node or edge of the graph")
    types = {nd.properties["name"]: nd.type for nd in gn.values()}

    def agree(impl_keys, peer_keys=list, floor_keys=None):
        """A check: impl, peer and floor give the same multiset of keys."""
        def check(impl, peer, floor):
            want = sorted(impl_keys(impl))
            for who, got, keys in (("networkx", peer, peer_keys), ("floor", floor, floor_keys)):
                if got is not None and sorted(keys(got)) != want:
                    raise AssertionError(f"{who} disagrees with quorvel: {sorted(keys(got))[:5]} vs {want[:5]}")
        return check

    def uids(var):
        return lambda rows: [r[var].uid() for r in rows]

    def edge_uids(edges):
        return [e.uid() for e in edges]

    def real(label, n, impl, peer, floor=None, **kw):
        return measure(f"real {label}", n, impl, peer, floor, group="real", **kw)

    S, I = types["str"], types["int"]
    real("(a:str)-[e]->(b:int)", n_edges,
         lambda: g.query().match("(a:str)-[e]->(b:int)").return_("e"),
         lambda: list(adj["str"].get("int", {})),
         lambda: [e for e in ge.values() if e.start.type == S and e.end.type == I],
         check=agree(uids("e"), list, edge_uids))

    real("(a:str)-[e1]->(b)-[e2]->(c:bool)", n_edges,
         lambda: g.query().match("(a:str)-[e1]->(b)-[e2]->(c:bool)").return_("e1", "e2"),
         lambda: [(k1, k2) for b, ks in adj["str"].items() for k1 in ks for k2 in adj[b].get("bool", ())
                  if k1 != k2],
         check=agree(lambda rows: [(r["e1"].uid(), r["e2"].uid()) for r in rows]))

    to_bool = TypeSchema("$* -> bool$")
    real("(a)-[e:$* -> bool$]->(b)", n_edges,
         lambda: g.query().match("(a)-[e:$* -> bool$]->(b)").return_("e"),
         lambda: [k for _, _, k in G.in_edges("bool", keys=True)],
         lambda: [e for e in ge.values() if to_bool.matches(e.term.type)],
         check=agree(uids("e"), list, edge_uids))

    real("(n {name: 'bytes'})", n_nodes,
         lambda: g.query().match("(n {name: 'bytes'})").return_("n"),
         lambda: [k for k, name in G.nodes(data="name") if name == "bytes"],
         lambda: [nd for nd in gn.values() if nd.properties.get("name") == "bytes"],
         target=("peer", 0.3), check=agree(lambda rows: [r["n"].type.name for r in rows], list,
                                           lambda nds: [nd.type.name for nd in nds]))

    real("(a)-[e {module: 'os'}]->(b)", n_edges,
         lambda: g.query().match("(a)-[e {module: 'os'}]->(b)").return_("e"),
         lambda: [k for _, _, k, m in G.edges(keys=True, data="module") if m == "os"],
         lambda: [e for e in ge.values() if e.properties.get("module") == "os"],
         check=agree(uids("e"), list, edge_uids))

    out_degree = dict(G.out_degree())
    top = sorted(out_degree.values(), reverse=True)[:10]

    def check_top(impl, peer, floor):
        for who, pairs in (("quorvel", [(r["a.name"], r["degree"]) for r in impl]), ("networkx", peer),
                           ("floor", floor)):
            # Ties at the tenth place may pick different types; the degrees may not differ.
            if [d for _, d in pairs] != top or any(out_degree[name] != d for name, d in pairs):
                raise AssertionError(f"{who}: top 10 by out-degree {pairs}, want degrees {top}")

    def nx_top():
        return collections.Counter(dict(G.out_degree())).most_common(10)

    def rows_and_counter():
        rows = g.query().match("(a)-[e]->(b)").return_("a")
        return collections.Counter(r["a"].properties["name"] for r in rows).most_common(10)

    real("top 10 types by out-degree (count(e) AS degree)", n_edges,
         lambda: g.query().match("(a)-[e]->(b)").with_("a", "count(e) AS degree")
         .order_by("degree", ascending=False).limit(10).return_("a.name", "degree"),
         nx_top, rows_and_counter, check=check_top)
    # The same question the way it is asked without aggregation: the floor above, against networkx.
    real("top 10 types by out-degree, rows per edge + Counter", n_edges, rows_and_counter, nx_top,
         check=lambda impl, peer, floor: check_top([{"a.name": k, "degree": d} for k, d in impl], peer, impl))

    if PathPattern("(a)-[*1..3]->(b)").edges[0].variable is not None:
        NOTES.append("skipped real (a:str)-[*1..3]->(b): the pattern reads '*1..3' as an edge variable")
        return
    # Ends of trails of 1 to 3 edges from str: the trail enumeration decides.
    reached = oracles.trail_ends(oracles.multiplicities(G), "str", 1, 3)

    def check_reach(impl, peer, floor):
        names = [r["b"].type.name for r in impl]
        if len(names) != len(set(names)) or set(names) != reached or peer != reached:
            raise AssertionError(f"reachable from str: {len(names)} rows, networkx {len(peer)}, "
                                 f"trails {len(reached)}")

    def check_count(impl, peer, floor):
        if impl != [{"count(DISTINCT b)": len(reached)}] or peer != len(reached):
            raise AssertionError(f"count(DISTINCT b): {impl}, networkx {peer}, trails {len(reached)}")

    real("(a:str)-[*1..3]->(b) return_distinct b", n_edges,
         lambda: g.query().match("(a:str)-[*1..3]->(b)").return_distinct("b"),
         lambda: oracles.nx_reach_within(nx, G, "str", 3), check=check_reach)
    real("(a:str)-[*1..3]->(b) count(DISTINCT b)", n_edges,
         lambda: g.query().match("(a:str)-[*1..3]->(b)").return_("count(DISTINCT b)"),
         lambda: len(oracles.nx_reach_within(nx, G, "str", 3)), check=check_count)


# ---------------------------------------------------------------- memory (child process)

class MallInfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def mem_child(n):
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2

    def in_use():
        gc.collect()
        mi = libc.mallinfo2()
        return mi.uordblks + mi.hblkhd

    types = [Variable(f"T{i}") for i in range(n)]
    keys = [f"T{i}" for i in range(n)]
    for t in types:
        t.uid()
    terms = [Term(f"f{j}", Application(types[j], types[(j + 1) % n])) for j in range(n)]
    tkeys = [f"f{j}" for j in range(n)]
    for t in terms:
        t.uid()
    base_nodes = [Node(t) for t in types]

    class PyNode:
        __slots__ = ("type", "properties")

        def __init__(self, t, p):
            self.type = t
            self.properties = p

    class PyEdge:
        __slots__ = ("term", "start", "end", "properties")

        def __init__(self, t, s, e, p):
            self.term, self.start, self.end, self.properties = t, s, e, p

    def per(fn):
        before = in_use()
        keep = fn()
        after = in_use()
        del keep
        return (after - before) / n

    out = {}
    out["Node bare"] = (
        per(lambda: [Node(t) for t in types]),
        per(lambda: _nx_nodes(keys, None)) if nx else None,
        per(lambda: [PyNode(t, {}) for t in types]),
    )

    def q_nodes_stored():
        g = Graph()
        for i, t in enumerate(types):
            nd = Node(t, {"i": i})
            g.nodes[nd.uid()] = nd
        return g

    def floor_nodes_stored():
        return {k: PyNode(t, {"i": i}) for i, (k, t) in enumerate(zip(keys, types))}

    out["Node stored in Graph"] = (
        per(q_nodes_stored),
        per(lambda: _nx_nodes(keys, types)) if nx else None,
        per(floor_nodes_stored),
    )
    def q_nodes_stored_bare():
        g = Graph()
        for t in types:
            nd = Node(t)
            g.nodes[nd.uid()] = nd
        return g

    out["Node stored in Graph, no properties"] = (
        per(q_nodes_stored_bare),
        per(lambda: _nx_nodes(keys, None)) if nx else None,
        per(lambda: {k: PyNode(t, {}) for k, t in zip(keys, types)}),
    )
    out["Edge bare"] = (
        per(lambda: [Edge(terms[j], base_nodes[j], base_nodes[(j + 1) % n]) for j in range(n)]),
        per(lambda: _nx_edges(keys, n)) if nx else None,
        per(lambda: [PyEdge(terms[j], base_nodes[j], base_nodes[(j + 1) % n], {}) for j in range(n)]),
    )
    G0 = _nx_nodes(keys, None) if nx else None
    g0 = Graph()
    for nd in base_nodes:
        g0.nodes[nd.uid()] = nd

    def q_edges_stored():
        ge = g0.edges
        for j in range(n):
            e = Edge(terms[j], base_nodes[j], base_nodes[(j + 1) % n], {"w": j})
            ge[e.uid()] = e
        return None

    def nx_edges_stored():
        for j in range(n):
            G0.add_edge(keys[j], keys[(j + 1) % n], key=tkeys[j], term=terms[j], w=j)
        return None

    def floor_edges_stored():
        return {tkeys[j]: PyEdge(terms[j], base_nodes[j], base_nodes[(j + 1) % n], {"w": j}) for j in range(n)}

    out["Edge stored in Graph"] = (per(q_edges_stored), per(nx_edges_stored) if nx else None,
                                   per(floor_edges_stored))
    json.dump(out, sys.stdout)


def _nx_nodes(keys, types):
    G = nx.MultiDiGraph()
    if types is None:
        for k in keys:
            G.add_node(k)
    else:
        for i, (k, t) in enumerate(zip(keys, types)):
            G.add_node(k, type=t, i=i)
    return G


def _nx_edges(keys, n):
    G = _nx_nodes(keys, None)
    for j in range(n):
        G.add_edge(keys[j], keys[(j + 1) % n])
    return G


def memory_workloads(n):
    env = dict(os.environ, PYTHONMALLOC="malloc")
    try:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--mem-child", str(n)], env=env,
                             capture_output=True, text=True, check=True, timeout=120).stdout
        res = json.loads(out)
    except Exception as exc:
        NOTES.append(f"skipped memory: {exc}")
        return
    # The networkx figures of the edge rows include the nodes' share of nothing:
    # nodes are present before the measurement in every column.
    for label, (impl, peer, floor) in res.items():
        tgt = None
        if label == "Node bare":
            tgt = ("peer", 0.3)
        elif label == "Node stored in Graph":
            tgt = ("peer", 0.6)
        record(f"bytes per {label}", n, impl, peer, floor, unit="B", target=tgt, group="memory")
    NOTES.append("memory: bytes from glibc mallinfo2 in a child with PYTHONMALLOC=malloc (malloc headers included "
                 "for every column); 'Edge bare' for networkx is add_edge(u, v) between existing nodes; the stored "
                 "quorvel rows include the 64-character uid key string")


# ---------------------------------------------------------------- output

def fmt(v):
    if v is None:
        return "-"
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def fmt_ratio(v):
    return "-" if v is None else f"{v:.3f}"


HEAD = ("workload", "unit", "impl", "peer", "floor", "impl/peer", "impl/floor", "target")


def row_cells(r):
    tgt = "" if not r["target"] else f"{r['target']} {'ok' if r['ok'] else 'MISS'}"
    return (r["workload"], r["unit"], fmt(r["impl"]), fmt(r["peer"]), fmt(r["floor"]), fmt_ratio(r["impl_peer"]),
            fmt_ratio(r["impl_floor"]), tgt)


def print_row(r, out=sys.stdout):
    print("  ".join(row_cells(r)), file=out)


def print_table():
    cells = [HEAD] + [row_cells(r) for r in ROWS]
    widths = [max(len(c[i]) for c in cells) for i in range(len(HEAD))]
    for k, c in enumerate(cells):
        line = "  ".join(x.ljust(w) if i == 0 else x.rjust(w) for i, (x, w) in enumerate(zip(c, widths)))
        print(line.rstrip())
        if k == 0:
            print("-" * len(line))


def compare_with(path, tolerance=1.25):
    """Print the rows whose same-run ratio (else own figure) grew by more than tolerance since path's run."""
    with open(path) as f:
        before = {r["workload"]: r for r in json.load(f)["rows"]}
    slower = []
    for r in ROWS:
        old = before.get(r["workload"])
        if old is None:
            continue
        for key in ("impl_peer", "impl_floor", "impl"):
            if r[key] is not None and old[key]:
                if r[key] > tolerance * old[key]:
                    slower.append(f"{r['workload']}: {key} {old[key]:.3g} -> {r[key]:.3g}")
                break
    print(f"against {path}: {len(slower)} rows slower by more than {tolerance:g}x")
    for line in slower:
        print("  slower:", line)


WORKLOADS = ["uid", "build", "match", "schema", "parse", "builder", "merge", "real", "persist", "memory"]


def persist_workloads(n):
    import large

    large.persistence(sys.modules[__name__], nx, n, f"persist {n} nodes + {n} edges")


def large_workloads():
    """The large section, each part in a child process so that its memory is its own."""
    if nx is None:
        NOTES.append("skipped large: networkx is absent")
        return
    for part in ("two-hop", "persist"):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "rows.json")
            cmd = [sys.executable, os.path.abspath(__file__), "--large-child", part, "--json", out,
                   "--rounds", str(ARGS.rounds), "--budget", str(ARGS.budget),
                   "--large-nodes", str(ARGS.large_nodes), "--large-edges", str(ARGS.large_edges),
                   "--persist-size", str(ARGS.persist_size)] + (["--verbose"] if ARGS.verbose else [])
            code = subprocess.run(cmd).returncode
            if code:
                NOTES.append(f"large {part}: the child process failed (exit status {code}); "
                             "rows up to the failure kept")
            if os.path.exists(out):
                with open(out) as f:
                    got = json.load(f)
                ROWS.extend(got["rows"])
                NOTES.extend(got["notes"])


def large_child(part):
    import large

    try:
        if part == "two-hop":
            large.two_hop(sys.modules[__name__], nx, ARGS.large_nodes, ARGS.large_edges)
        else:
            n = ARGS.persist_size
            large.persistence(sys.modules[__name__], nx, n, f"persist {n} nodes + {n} edges")
    finally:
        with open(ARGS.json, "w") as f:
            json.dump({"rows": ROWS, "notes": NOTES}, f)


def main():
    global ARGS
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small sizes: a smoke test")
    p.add_argument("--large", action="store_true",
                   help="also the large section (a few minutes, 2-3 GB or more): a random graph of --large-nodes nodes "
                        "and --large-edges edges, and persistence of --persist-size nodes and edges")
    p.add_argument("--large-nodes", type=int, default=200_000, help="default %(default)s")
    p.add_argument("--large-edges", type=int, default=1_000_000, help="default %(default)s")
    p.add_argument("--persist-size", type=int, default=1_000_000, help="default %(default)s")
    p.add_argument("--json", default="build/bench.json", help="where to write the results (default %(default)s)")
    p.add_argument("--rounds", type=int, default=None, help="timed rounds per workload (best of)")
    p.add_argument("--budget", type=float, default=None,
                   help="seconds per workload after the first run: slow workloads get fewer rounds")
    p.add_argument("--only", default=None, help="comma-separated workload groups: " + ",".join(WORKLOADS))
    p.add_argument("--verbose", action="store_true", help="print each row as it is measured")
    p.add_argument("--baseline", default=None,
                   help="the JSON of an earlier run: list the rows that got slower against their peer or floor")
    p.add_argument("--mem-child", type=int, default=None, help=argparse.SUPPRESS)
    p.add_argument("--large-child", choices=("two-hop", "persist"), default=None, help=argparse.SUPPRESS)
    ARGS = p.parse_args()
    if ARGS.mem_child is not None:
        mem_child(ARGS.mem_child)
        return 0
    if ARGS.rounds is None:
        ARGS.rounds = 3 if ARGS.quick else 11
    if ARGS.budget is None:
        ARGS.budget = 2.0 if ARGS.quick else 10.0
    if ARGS.large_child is not None:
        large_child(ARGS.large_child)
        return 0
    q = ARGS.quick
    sizes = {
        "uid": 300 if q else 20000,
        "build": 300 if q else 20000,
        "nodes": 300 if q else 10000,
        "edges": 600 if q else 20000,
        "schema": 400 if q else 20000,
        "builder": 100 if q else 10000,
        "merge": 150 if q else 2000,
        "persist": 10000,
        "memory": 1000 if q else 20000,
    }
    groups = ARGS.only.split(",") if ARGS.only else WORKLOADS
    t0 = time.perf_counter()
    if "uid" in groups:
        uid_workloads(sizes["uid"])
    if "build" in groups:
        build_workloads(sizes["build"])
    if "match" in groups:
        match_workloads(sizes["nodes"], sizes["edges"])
    if "schema" in groups:
        schema_workloads(sizes["schema"])
    if "parse" in groups:
        parse_workloads(sizes["schema"])
    if "builder" in groups:
        builder_workloads(sizes["builder"])
    if "merge" in groups:
        merge_workloads(sizes["merge"])
    if "real" in groups:
        real_workloads()
    if "persist" in groups:
        persist_workloads(sizes["persist"])
    if "memory" in groups:
        memory_workloads(sizes["memory"])
    if ARGS.large:
        large_workloads()
    elapsed = time.perf_counter() - t0
    mode = ("quick" if q else "full") + (" + large" if ARGS.large else "")
    print(f"quorvel bench ({mode}, best of {ARGS.rounds}; python {sys.version.split()[0]}, "
          f"networkx {nx.__version__ if nx else 'absent'}; {elapsed:.1f} s)")
    print("ns per element unless unit says otherwise; peer = networkx, floor = plain Python")
    print_table()
    for note in NOTES:
        print("note:", note)
    if ARGS.baseline:
        compare_with(ARGS.baseline)
    missed = [r["workload"] for r in ROWS if r["ok"] is False]
    print(f"targets: {sum(1 for r in ROWS if r['ok'])} met, {len(missed)} missed")
    if ARGS.json:
        os.makedirs(os.path.dirname(os.path.abspath(ARGS.json)), exist_ok=True)
        with open(ARGS.json, "w") as f:
            json.dump({"mode": "quick" if q else "full", "rounds": ARGS.rounds, "python": sys.version,
                       "networkx": nx.__version__ if nx else None, "seconds": elapsed, "sizes": sizes,
                       "rows": ROWS, "notes": NOTES}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
