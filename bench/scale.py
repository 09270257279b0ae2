"""A graph of a million nodes and a million edges: built, queried and freed.

    PYTHONPATH=build python3 bench/scale.py [--nodes N] [--edges M]

Prints the wall time of each phase, the resident set size after it and the
peak so far (getrusage's ru_maxrss). Node i has type T<i> and the
property v = i; edge j leads from node j to node (7j + 1) mod N, so every node
has one edge out and one in, and two-hop paths are as many as edges.
"""

import argparse
import ctypes
import gc
import resource
import sys
import time

from large import build_graph
from quorvel import Variable


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def current_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


class Phases:
    def __init__(self):
        self.rows = []

    def run(self, name, fn):
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        self.rows.append((name, elapsed, peak_mb(), result))
        print(f"{name:<46} {elapsed:8.3f} s   RSS {current_mb():8.1f} MB (peak {peak_mb():8.1f})   "
              f"{str(result)[:100]}", flush=True)
        return result


def build(n_nodes, n_edges):
    return build_graph(n_nodes, ((j % n_nodes, (7 * j + 1) % n_nodes) for j in range(n_edges)), edge_properties=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=10**6)
    parser.add_argument("--edges", type=int, default=10**6)
    args = parser.parse_args(argv)
    n, m = args.nodes, args.edges
    print(f"python {sys.version.split()[0]}, {n} nodes, {m} edges; "
          f"peak RSS at start {peak_mb():.1f} MB", flush=True)
    phases = Phases()
    box = [phases.run("build", lambda: build(n, m))]
    queries(phases, box[0], n)

    def free():
        box.clear()
        return gc.collect()

    phases.run("free graph (+ gc.collect)", free)
    try:  # hand freed heap pages back, so that RSS shows what is still held
        trimmed = ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        trimmed = "no malloc_trim"
    phases.run("malloc_trim", lambda: trimmed)
    return phases


def queries(phases, g, n):
    phases.run("str(graph)", lambda: str(g))
    target = Variable(f"T{n // 2}")
    phases.run("typed match (one type)", lambda: g.query().match(node="n", type=target).return_count())
    phases.run("schema match ($T1$)", lambda: g.query().match(node="n", type_schema="$T1$").return_count())
    phases.run("untyped match, return_count", lambda: g.query().match(node="n").return_count())
    phases.run("untyped match, return_ rows", lambda: len(g.query().match(node="n").return_("n")))
    phases.run("path (a:T1)-[e]->(b)", lambda: g.query().match("(a:T1)-[e]->(b)").return_("a", "e", "b"))
    phases.run("path (a)-[e]->(b), count", lambda: g.query().match("(a)-[e]->(b)").return_count())
    phases.run("path (a)-[e:T3 -> *]->(b)-[f]->(c)",
               lambda: len(g.query().match("(a)-[e:T3 -> *]->(b)-[f]->(c)").return_("c")))
    phases.run("path (a)-[e]->(b)-[f]->(c), count",
               lambda: g.query().match("(a)-[e]->(b)-[f]->(c)").return_count())
    phases.run("where v < 1000, order_by v desc, limit 5",
               lambda: [r["n"].properties["v"] for r in g.query().match(node="n").where("n.v < 1000")
                        .order_by("n", "v", ascending=False).limit(5).return_("n")])
    phases.run("order_by v desc, skip 10, limit 3 (all nodes)",
               lambda: [r["n"].properties["v"] for r in g.query().match(node="n")
                        .order_by("n", "v", ascending=False).skip(10).limit(3).return_("n")])
    phases.run("set on a typed match", lambda: g.query().match(node="n", type=target)
               .set("n", {"seen": True}).return_count())


if __name__ == "__main__":
    main()
