"""Render a quorvel graph as a picture, through Graphviz DOT text.

    PYTHONPATH=build python3 examples/render_dot.py              # DOT text on stdout
    PYTHONPATH=build python3 examples/render_dot.py theory.dot   # theory.dot, and theory.png
                                                                 # when Graphviz's dot is installed

Nodes show their type and properties, edges their term and its type. The
function to_dot works for any Graph.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

from quorvel import Application, Edge, Graph, Node, Term, Variable


def quote(text: str) -> str:
    """A DOT string literal: backslashes and quotes escaped, newlines as \\n."""
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    return '"' + escaped.replace("\r", "").replace("\n", "\\n") + '"'


def describe(properties: dict[Any, Any]) -> str:
    return "\n".join(f"{key}: {value}" for key, value in properties.items())


def to_dot(graph: Graph, title: str = "quorvel") -> str:
    """DOT text for a graph: one DOT node per graph node, one arrow per edge.

    DOT identifiers are the node uids, so an edge whose end node is not in
    graph.nodes still draws, to a node of its own, dashed.
    """
    lines = [f"digraph {quote(title)} {{",
             "    rankdir=LR;",
             '    node [shape=box, style="rounded", fontname="Helvetica"];',
             '    edge [fontname="Helvetica", fontsize=10];']
    drawn: set[str] = set()

    def draw(node: Node, dashed: bool) -> None:
        uid = node.uid()
        if uid in drawn:
            return
        drawn.add(uid)
        label = "\n".join(filter(None, [str(node.type), describe(node.properties)]))
        style = ', style="rounded,dashed"' if dashed else ""
        lines.append(f"    {quote(uid[:16])} [label={quote(label)}{style}];")

    for node in graph.nodes.values():
        draw(node, dashed=False)
    for edge in graph.edges.values():
        draw(edge.start, dashed=True)
        draw(edge.end, dashed=True)
        label = "\n".join(filter(None, [f"{edge.term.name} : {edge.term.type}",
                                        describe(edge.properties)]))
        lines.append(f"    {quote(edge.start.uid()[:16])} -> {quote(edge.end.uid()[:16])}"
                     f" [label={quote(label)}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def sample_graph() -> Graph:
    """A small theory of a shop: who orders what, and where it ships."""
    customer, order, product, address = (Variable(name) for name in
                                         ("Customer", "Order", "Product", "Address"))
    graph = Graph()
    plurals = {customer: "customers", order: "orders", product: "products", address: "addresses"}
    nodes: dict[Variable | Application, Node] = {
        t: Node(t, {"label": label}) for t, label in plurals.items()
    }
    for node in nodes.values():
        graph.nodes[node.uid()] = node
    arrows = [(Term("places", Application(customer, order)), "1..n"),
              (Term("contains", Application(order, product)), "1..n"),
              (Term("ships_to", Application(order, address)), "1"),
              (Term("lives_at", Application(customer, address)), "1")]
    for term, cardinality in arrows:
        kind = term.type
        assert isinstance(kind, Application)
        edge = Edge(term, nodes[kind.left], nodes[kind.right], {"cardinality": cardinality})
        graph.edges[edge.uid()] = edge
    return graph


def main(argv: list[str]) -> int:
    dot_text = to_dot(sample_graph(), "shop")
    if len(argv) < 2:
        sys.stdout.write(dot_text)
        return 0
    target = Path(argv[1])
    target.write_text(dot_text, encoding="utf-8")
    print(f"wrote {target}")
    dot = shutil.which("dot")
    if dot is None:
        print("Graphviz 'dot' not found: no PNG (apt-get install graphviz)")
        return 0
    png = target.with_suffix(".png")
    subprocess.run([dot, "-Tpng", str(target), "-o", str(png)], check=True)
    print(f"wrote {png}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
