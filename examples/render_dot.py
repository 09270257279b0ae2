"""Render a quorvel graph as a picture, through Graphviz DOT text.

    PYTHONPATH=build python3 examples/render_dot.py              # DOT text on stdout
    PYTHONPATH=build python3 examples/render_dot.py theory.dot   # theory.dot, and theory.png
                                                                 # when Graphviz's dot is installed

Graph.to_dot() makes the text: nodes show their type and properties, edges
their term, its type and their properties.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

from quorvel import Application, Edge, Graph, Node, Term, Variable


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
    dot_text = sample_graph().to_dot(name="shop")
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
