"""A first session with quorvel: types, terms and checked application."""

import quorvel
from quorvel import Application, Term, Variable

# Types: atomic variables and function types between them.
person = Variable("Person")
company = Variable("Company")
works_for = Application(person, company)
print("type:", works_for, "  repr:", repr(works_for))

# Terms inhabit types; applying a function term checks the argument's type.
alice = Term("alice", person)
employer = Term("employer", works_for)
acme = employer(alice)
print("term:", acme, "  repr:", repr(acme))

try:
    employer(Term("acme", company))
except TypeError as err:
    print("refused:", err)

# Identifiers are SHA-256 digests of the content, stable across processes.
print("uid of Person:", person.uid()[:16] + "...")
print("equal types hash alike:", hash(works_for) == hash(Application(Variable("Person"), company)))
# A graph models a theory: nodes stand for types, edges for terms between them.
from quorvel import Edge, Graph, Node

graph = Graph()
people = Node(person, {"label": "people"})
firms = Node(company, {"label": "firms"})
for node in (people, firms):
    graph.nodes[node.uid()] = node
edge = Edge(employer, people, firms, {"since": 2020})
graph.edges[edge.uid()] = edge
print("graph:", graph)
for e in graph.edges.values():
    print("  edge", e, "from", e.start.properties["label"], "to", e.end.properties["label"])

print("classes:", ", ".join(quorvel.__all__))
