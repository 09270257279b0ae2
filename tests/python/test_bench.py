"""The benchmark's own logic: the oracles its checks trust, and the stub extraction."""

import ast
import json
import os
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

BENCH = os.path.join(os.path.dirname(__file__), "..", "..", "bench")
sys.path.insert(0, BENCH)

import oracles  # noqa: E402
import typeshed  # noqa: E402


def brute_trail_ends(edges, src, lo, hi):
    """Ends of trails, each edge (by index) used at most once: the definition, enumerated."""
    ends = set()

    def walk(node, used):
        if lo <= len(used):
            ends.add(node)
        if len(used) < hi:
            for i, (a, b) in enumerate(edges):
                if a == node and i not in used:
                    walk(b, used | {i})

    walk(src, frozenset())
    return ends


small_multigraphs = st.lists(st.tuples(st.integers(0, 4), st.integers(0, 4)), max_size=10)


@settings(max_examples=300, deadline=None)
@given(small_multigraphs, st.integers(0, 4), st.integers(1, 4))
def test_trail_oracles_agree_with_the_definition(edges, src, hops):
    nx = pytest.importorskip("networkx")
    G = nx.MultiDiGraph()
    G.add_nodes_from(range(5))
    G.add_edges_from(edges)
    want = brute_trail_ends(edges, src, 1, hops)
    assert oracles.trail_ends(oracles.multiplicities(G), src, 1, hops) == want
    assert oracles.nx_reach_within(nx, G, src, hops) == want
    assert oracles.trail_ends(oracles.multiplicities(G), src, 2, hops) == brute_trail_ends(edges, src, 2, hops)


@pytest.mark.parametrize("source, found", [
    ("def f(x: int) -> str: ...", [("m.f", "int", "str")]),
    ("def f(x: int, /) -> Literal['r']: ...", [("m.f", "int", "Literal['r']")]),
    ("async def f(x: os.PathLike[str] = ...) -> None: ...", [("m.f", "os.PathLike[str]", "None")]),
    ("def f(x) -> str: ...\ndef g(x: int): ...\ndef h(x: int, y: int) -> str: ...", []),
    ("def f(x: int, *a: int) -> str: ...\ndef g(x: int, *, y: int) -> str: ...\ndef h(**k: int) -> str: ...", []),
    ("def f(x: int) -> str:\n    def inner(y: int) -> int: ...", [("m.f", "int", "str")]),
    ("class C:\n    def m(self, x: list[str]) -> C: ...\n    def n(self) -> int: ...\n"
     "    @staticmethod\n    def s(x: int) -> int: ...\n    @classmethod\n    def c(cls, x: str) -> C: ...",
     [("m.C.m", "list[str]", "C"), ("m.C.s", "int", "int"), ("m.C.c", "str", "C")]),
    ("class A:\n    class B:\n        def m(self, x: A) -> B: ...", [("m.A.B.m", "A", "B")]),
    ("if sys.version_info >= (3, 8):\n    def f(x: int) -> int: ...\nelse:\n    def f(x: str) -> int: ...\n"
     "class C:\n    if sys.platform == 'win32':\n        def m(self, x: bytes) -> str: ...",
     [("m.f", "int", "int"), ("m.f", "str", "int"), ("m.C.m", "bytes", "str")]),
])
def test_single_argument_functions(source, found):
    assert typeshed.functions_in(ast.parse(source), "m") == [(*f, "m") for f in found]


@pytest.mark.parametrize("path, module", [
    ("builtins.pyi", "builtins"), ("os/__init__.pyi", "os"), ("os/path.pyi", "os.path"),
    ("concurrent/futures/thread.pyi", "concurrent.futures.thread"),
])
def test_module_name(path, module):
    assert typeshed.module_name("/stubs", os.path.join("/stubs", path)) == module


def test_graphs_built_in_one_pass_agree():
    nx = pytest.importorskip("networkx")
    funcs = [("m.f", "int", "str", "m"), ("m.f", "int", "str", "m"), ("m.f", "str", "str", "m"),
             ("m.g", "int", "str", "m"), ("n.h", "bytes", "int", "n")]
    g, G = typeshed.build(funcs, nx)
    # Identical terms collapse; an overload with other types is another edge.
    assert len(g.edges) == G.number_of_edges() == 4
    assert sorted(nd.properties["name"] for nd in g.nodes.values()) == sorted(G.nodes) == ["bytes", "int", "str"]
    assert sorted(k for _, _, k in G.edges(keys=True)) == sorted(g.edges)
    assert {(e.term.name, e.start.type.name, e.end.type.name) for e in g.edges.values()} == \
        {(d["name"], u, v) for u, v, d in G.edges(data=True)}


def test_quick_run_keeps_the_target_rows(tmp_path):
    pytest.importorskip("networkx")
    if not os.path.isdir(typeshed.STUBS):
        pytest.skip("no stubs (python3-mypy)")
    result = tmp_path / "rows.json"
    out = subprocess.run([sys.executable, os.path.join(BENCH, "run.py"), "--quick", "--only", "match,real,persist",
                          "--json", str(result)], capture_output=True, text=True, env=os.environ, timeout=300)
    assert out.returncode == 0, out.stderr
    targets = {r["workload"]: r["target"] for r in json.loads(result.read_text())["rows"]}
    assert {"property match (10% hit)": "peer<=0.3", "path term schema $T1 -> *$": "peer<=0.15",
            "2-hop match.where.limit(10).return_": "peer<=1.5", "typed node match (1 hit)": "peer<=0.1",
            "real (n {name: 'bytes'})": "peer<=0.3"}.items() <= targets.items()
    assert "real (a:str)-[e]->(b:int)" in targets


@pytest.fixture
def harness(monkeypatch):
    import argparse

    import run

    monkeypatch.setattr(run, "ARGS", argparse.Namespace(rounds=2, budget=1.0, verbose=False), raising=False)
    monkeypatch.setattr(run, "ROWS", [])
    monkeypatch.setattr(run, "NOTES", [])
    return run


def wrong(impl, peer, floor):
    raise AssertionError("differs")


@pytest.mark.parametrize("impl, check, target, outcome", [
    (lambda: 1 / 0, None, None, None),  # a feature not built yet: skipped, no row
    (lambda: 1, wrong, ("peer", 10), (False, "same answer")),
    (lambda: 1, None, ("abs", 1e9), (True, "<=1e+09 ns")),
    (lambda: 1, None, ("abs", 0), (False, "<=0 ns")),
    (lambda: 1, None, ("peer", 1e9), (True, "peer<=1e+09")),
])
def test_measure_outcomes(harness, impl, check, target, outcome):
    harness.measure("w", 1, impl, lambda: 1, target=target, check=check)
    if outcome is None:
        assert harness.ROWS == [] and harness.NOTES[0].startswith("skipped w: ZeroDivisionError")
    else:
        (row,) = harness.ROWS
        assert (row["ok"], row["target"]) == outcome


def test_baseline_lists_slower_rows(harness, tmp_path, capsys):
    for name, ratio in (("same", 1.0), ("slower", 2.0), ("new", 9.0)):
        harness.record(name, 1, ratio, 1.0, None, unit="ns")
    (tmp_path / "old.json").write_text(json.dumps({"rows": [
        {"workload": w, "impl_peer": 1.0, "impl_floor": None, "impl": 1.0} for w in ("same", "slower")]}))
    harness.compare_with(str(tmp_path / "old.json"))
    out = capsys.readouterr().out
    assert "1 rows slower" in out and "slower: slower: impl_peer 1 -> 2" in out


def test_large_section_at_small_sizes(tmp_path):
    pytest.importorskip("networkx")
    result = tmp_path / "rows.json"
    out = subprocess.run([sys.executable, os.path.join(BENCH, "run.py"), "--quick", "--only", "none", "--large",
                          "--large-nodes", "2000", "--large-edges", "10000", "--persist-size", "1000",
                          "--json", str(result)], capture_output=True, text=True, env=os.environ, timeout=300)
    assert out.returncode == 0, out.stderr
    got = json.loads(result.read_text())
    rows = {r["workload"]: r for r in got["rows"]}
    assert {"large 2-hop count", "large 2-hop limit(1).return_count",
            "large (a:T5)-[e1]->(b)-[e2]->(c) return_ c"} <= set(rows)
    assert not [n for n in got["notes"] if "WRONG ANSWER" in n or "failed" in n]
