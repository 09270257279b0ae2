"""A first session with quorvel: a small typed theory, stored as a graph and queried.

Run it with the built module on the path:

    PYTHONPATH=build python3 examples/quickstart.py
"""

from __future__ import annotations

from quorvel import Application, Edge, Graph, Node, Term, TypeSchema, Variable

# 1. Types: atomic variables and function types between them.
person = Variable("Person")
company = Variable("Company")
city = Variable("City")
works_for = Application(person, company)
print("types:   ", person, company, city, works_for)

# 2. Terms inhabit types; applying a function term checks the argument's type.
alice = Term("alice", person)
employer = Term("employer", works_for)
headquarters = Term("headquarters", Application(company, city))
print("applied: ", employer(alice), "then", headquarters(employer(alice)))
try:
    headquarters(alice)
except TypeError as err:
    print("refused: ", err)

# 3. A graph models the theory: one node per type, one edge per term.
graph = Graph()
nodes: dict[Variable | Application, Node] = {
    t: Node(t, {"label": str(t).lower()}) for t in (person, company, city)
}
for node in nodes.values():
    graph.nodes[node.uid()] = node
for term in (employer, headquarters):
    kind = term.type
    assert isinstance(kind, Application)
    edge = Edge(term, nodes[kind.left], nodes[kind.right])
    graph.edges[edge.uid()] = edge
print("graph:   ", graph)

# 4. Query with a pattern string: every arrow out of Person, with its two ends.
print("arrows out of Person:")
for row in graph.query().match("(a:Person)-[f]->(b)").return_("a", "f", "b"):
    print("   ", row["a"], "--", row["f"], "->", row["b"])

# Type schemas match types; the edge part of a pattern is one.
into_city = TypeSchema("$(from:*) -> City$")
print("schema:  ", into_city, "captures", into_city.capture(headquarters.type))

# 5. Merge finds the node of a type or creates it; set writes properties.
country = Variable("Country")
graph.query().merge(node="c", type=country).set("c", {"label": "country"}).execute()
graph.query().match(node="p", type=person).set("p", {"count": 3}).execute()
print("after merge and set:", graph)
for node in graph.nodes.values():
    print("   ", node, node.properties)
