"""Ctrl-C during long runs.

A SIGALRM handler raises KeyboardInterrupt 50 ms into a run that would take
seconds; it must run within 0.1 s of the alarm (the engine's loops give
pending handlers a chance every few thousand steps), leave the graph as it
was, and leave the query usable: run again on a small graph, it gives the
right answer."""

import functools
import signal
import time

import pytest

from quorvel import Application, Edge, Graph, Node, Term, Variable

A, B = Variable("A"), Variable("B")
DELAY, LATENCY = 0.05, 0.1


def interrupted(call):
    """Seconds from the alarm to the KeyboardInterrupt raised inside `call`."""
    fired = []

    def handler(signum, frame):
        fired.append(time.monotonic())
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, handler)
    finished = False
    try:
        due = time.monotonic() + DELAY
        signal.setitimer(signal.ITIMER_REAL, DELAY)
        call()
        finished = True
        time.sleep(4 * DELAY)  # a late alarm lands here, not in the next test
    except KeyboardInterrupt:
        pass
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert not finished, "the run ended before the alarm"
    return fired[0] - due


def two_nodes(text):
    """Two nodes whose equal values are distinct objects, so that comparing them reads them."""
    return [Node(t, {"p": p, "s": "".join(text), "t": tuple(range(300))}) for t, p in ((A, 1), (B, 2))]


@functools.lru_cache(maxsize=None)
def node_entries(rows, text):
    nodes = two_nodes(text)
    return {f"k{i}": nodes[i % 2] for i in range(rows)}


def node_graph(rows, text="s" * 1500):
    g = Graph()
    g.nodes.update(node_entries(rows, text))
    return g


def edge_graph(edges):
    g = Graph()
    n = Node(A, {"p": 1})
    g.nodes[n.uid()] = n
    for i in range(edges):
        e = Edge(Term(f"f{i}", Application(A, A)), n, n)
        g.edges[e.uid()] = e
    return g


def where_chain(q):
    for _ in range(60):
        q = q.where("n.p >= 1")
    return q


# name: (the graph, the query, how it is run, its result on the small graph of the same kind)
RUNS = {
    "path": (edge_graph, lambda g: g.query().match("(a)-[e]->(b)-[f]->(c)-[h]->(d)"), "count", 6),
    "streamed path": (edge_graph, lambda g: g.query().match("(a)-[e]->(b)-[f]->(c)-[h]->(d)").where("d.p = 3")
                      .limit(1), "rows", []),
    "variable length": (edge_graph, lambda g: g.query().match("(a)-[e*1..3]->(b)"), "count", 15),
    "node match with where": (node_graph, lambda g: where_chain(g.query().match(node="n")), "count", 3),
    "return_distinct": (node_graph, lambda g: g.query().match(node="n"), "distinct", [{"n.t": tuple(range(300))}]),
    "order_by": (node_graph, lambda g: g.query().match(node="n").order_by("n", "s").order_by("n", "p"), "count", 3),
    "aggregation": (node_graph, lambda g: g.query().match(node="n"), "aggregate", [{"count(DISTINCT n.t)": 1}]),
}
SIZES = {edge_graph: (400, 3), node_graph: (200_000, 3)}


def result(q, how):
    return {"count": q.return_count, "rows": lambda: q.return_("a"), "distinct": lambda: q.return_distinct("n.t"),
            "aggregate": lambda: q.return_("count(DISTINCT n.t)")}[how]()


@pytest.mark.parametrize("name", RUNS)
def test_ctrl_c_stops_a_long_run(name):
    make, build, how, small = RUNS[name]
    big, few = SIZES[make]
    g = make(big)
    nodes, edges = dict(g.nodes), dict(g.edges)
    q = build(g)
    latency = interrupted(lambda: result(q, how))
    assert latency < LATENCY
    assert g.nodes == nodes and g.edges == edges
    g.nodes.clear()
    g.edges.clear()
    g.nodes.update(make(few).nodes)
    g.edges.update(make(few).edges)
    assert result(q, how) == small


def test_ctrl_c_stops_a_sort_with_slow_comparisons():
    g = node_graph(20_000, "s" * 1_000_000)  # a pass: ~10_000 comparisons of 1 MB; reading keys: milliseconds
    q = g.query().match(node="n").order_by("n", "s")
    assert interrupted(q.return_count) < LATENCY


def test_ctrl_c_while_a_type_table_is_read():
    # Applications take two entries each: the check must not depend on the
    # parity of the position.
    table = ["A", "B"] + [0, 1] * 1_500_000
    assert interrupted(lambda: Application._from_table(table)) < LATENCY
