"""The programs in examples/ run against the built module and print what they
promise."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run_example(name, *args, cwd=None):
    # The example must import the module this suite is testing, not another one.
    env = dict(os.environ)
    module_dir = str(Path(quorvel.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return done.stdout


def test_every_example_is_covered():
    covered = {"quickstart.py", "lambda_calculus.py", "knowledge_graph.py", "render_dot.py"}
    assert {path.name for path in EXAMPLES.glob("*.py")} == covered


def test_quickstart():
    out = run_example("quickstart.py")
    assert "applied:  (employer alice):Company then (headquarters (employer alice)):City" in out
    assert "refused:  Type mismatch: expected Company, got Person (in function application)" in out
    assert "    Node(Person) -- Edge(employer: Person -> Company) -> Node(Company)" in out
    assert "captures {'from': Variable(\"Company\")}" in out
    assert "after merge and set: Graph(4 nodes, 2 edges)" in out
    assert "    Node(Person) {'label': 'person', 'count': 3}" in out
    assert "    Node(Country) {'label': 'country'}" in out


def test_lambda_calculus():
    out = run_example("lambda_calculus.py")
    assert "    ((plus (succ zero)) (succ (succ zero))):Nat" in out
    assert "    not zero -> Type mismatch: expected Bool, got Nat (in function application)" in out
    assert ("    zero applied -> Type mismatch: expected application type (A -> B), "
            "got Nat (in term application)") in out
    assert "category: Graph(2 nodes, 7 edges)" in out
    assert "laws: associativity and identity hold on types" in out
    into_bool = out.split("arrows into Bool:\n")[1].split("endomorphisms:")[0]
    assert [line.split(" : ")[0].strip() for line in into_bool.splitlines()] == [
        "is_zero", "not", "id_Bool", "(not . is_zero)", "(is_zero . succ)"]
    endo = out.split("endomorphisms:\n")[1].split("exponential")[0]
    assert sorted(line.split()[0] for line in endo.splitlines()) == ["id_Bool", "id_Nat", "not", "succ"]
    assert "exponential object: Node((Nat -> Nat)) reached by ['plus']" in out


def test_knowledge_graph():
    out = run_example("knowledge_graph.py")
    assert "people: Alice, Bob, Carol, Dave" in out
    assert "    Carol works at Globex since 2009" in out
    assert "    Dave -> Alice" in out
    assert "alice is known by: ['Carol', 'Dave']" in out
    # Row operations: filtering, a descending sort, paging, projections.
    assert "over 30, oldest first: [('Carol', 41), ('Alice', 34)]" in out
    assert "two youngest: ['Dave', 'Bob']" in out
    assert "employers: ['Acme', 'Acme', 'Globex'] distinct: ['Acme', 'Globex']" in out
    assert "long-serving: ['Alice', 'Carol'] keys kept: ['p']" in out
    # Two-step paths: one forward chain, one meeting in the middle.
    assert out.count("friend of a friend:") == 1
    assert "friend of a friend: Alice -> Bob -> Carol" in out
    assert "colleagues: ['Alice and Bob at Acme']" in out
    # The second merge finds Initech instead of adding a node.
    assert "after merging Initech: Graph(7 nodes, 8 edges)" in out
    assert "merging again finds it: Graph(7 nodes, 8 edges)" in out
    assert "dave is now 26 ; acme listed: True" in out
    assert "-> Graph(7 nodes, 7 edges)" in out
    assert "staff per organisation: {'Acme': ['Alice', 'Bob']}" in out
    assert "know most people: [('Alice', 1), ('Bob', 1)]" in out
    assert "dave reaches: ['Alice', 'Bob', 'Carol']" in out
    assert "carol's age: 41" in out


def check_dot(text):
    assert text.startswith('digraph "shop" {\n') and text.endswith("}\n")
    assert len(re.findall(r'^    "[0-9a-f]{64}" \[label=', text, re.M)) == 4
    arrows = re.findall(r'^    "[0-9a-f]{64}" -> "[0-9a-f]{64}" \[label="(\w+) : ', text, re.M)
    assert arrows == ["places", "contains", "ships_to", "lives_at"]


def test_render_dot_to_stdout():
    check_dot(run_example("render_dot.py"))


def test_render_dot_to_files(tmp_path):
    out = run_example("render_dot.py", "shop.dot", cwd=tmp_path)
    check_dot((tmp_path / "shop.dot").read_text(encoding="utf-8"))
    png = tmp_path / "shop.png"
    if shutil.which("dot"):
        assert "wrote shop.png" in out
        assert png.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    else:
        assert "no PNG" in out and not png.exists()


def test_to_dot_escapes_labels_and_draws_dangling_ends():
    A, B = quorvel.Variable('say "hi"\\'), quorvel.Variable("B")
    graph = quorvel.Graph()
    start = quorvel.Node(A, {"note": "two\nlines"})
    graph.nodes[start.uid()] = start
    edge = quorvel.Edge(quorvel.Term("f", quorvel.Application(A, B)), start, quorvel.Node(B))
    graph.edges[edge.uid()] = edge
    text = graph.to_dot()
    assert '[label="say \\"hi\\"\\\\\\nnote: two\\nlines"]' in text
    # The end node is not in graph.nodes: drawn once, dashed.
    assert text.count('style="rounded,dashed"') == 1
    if shutil.which("dot"):
        subprocess.run(["dot", "-Tcanon"], input=text, text=True, check=True, capture_output=True)
