"""A small knowledge graph: people, organisations and the relations between them.

Each individual is a type of its own (a node per type), with its facts in the
node's properties. Each kind of relation is a type too, and every single
relation is a term of that type, drawn as an edge: the term "alice works_at
acme" has the type works_at, so the pattern (p)-[r:works_at]->(o) finds all of
them.

    PYTHONPATH=build python3 examples/knowledge_graph.py
"""

from __future__ import annotations

from typing import Any

from quorvel import Edge, Graph, Node, Term, Variable

graph = Graph()


def entity(name: str, kind: str, **facts: Any) -> Node:
    node = Node(Variable(name), {"kind": kind, "name": name.capitalize(), **facts})
    graph.nodes[node.uid()] = node
    return node


def relate(subject: Node, relation: str, obj: Node, **facts: Any) -> Edge:
    label = f"{subject.properties['name']} {relation} {obj.properties['name']}"
    edge = Edge(Term(label, Variable(relation)), subject, obj, dict(facts))
    graph.edges[edge.uid()] = edge
    return edge


alice = entity("alice", "person", age=34)
bob = entity("bob", "person", age=29)
carol = entity("carol", "person", age=41)
dave = entity("dave", "person", age=25)
acme = entity("acme", "organisation", sector="engineering")
globex = entity("globex", "organisation", sector="chemicals")

relate(alice, "works_at", acme, since=2015)
relate(bob, "works_at", acme, since=2021)
relate(carol, "works_at", globex, since=2009)
relate(alice, "knows", bob)
relate(bob, "knows", carol)
relate(carol, "knows", alice)
relate(dave, "knows", alice)
relate(acme, "partners_with", globex)
print("knowledge graph:", graph)


def name(node: Node | Edge) -> str:
    return str(node.properties.get("name", node))


# Everybody of one kind: a node match on a required property value.
people = graph.query().match(node="p", properties={"kind": "person"}).return_("p")
print("people:", ", ".join(name(row["p"]) for row in people))

# Relations of one kind: the edge schema in brackets is the relation type.
print("employment:")
for row in graph.query().match("(p)-[r:works_at]->(o)").return_("p", "r", "o"):
    print(f"    {name(row['p'])} works at {name(row['o'])} since {row['r'].properties['since']}")

print("who knows whom:")
for row in graph.query().match("(a)-[:knows]->(b)").return_("a", "b"):
    print(f"    {name(row['a'])} -> {name(row['b'])}")

# Everyone Alice is known by: fix the end of the step by its type.
known_by = graph.query().match("(a)-[:knows]->(b:alice)").return_("a")
print("alice is known by:", sorted(name(row["a"]) for row in known_by))

# Merge finds an entity or creates it; set adds facts to what a match bound.
initech = graph.query().merge(node="o", type=Variable("initech"),
                              properties={"kind": "organisation", "name": "Initech"})
initech.execute()
print("after merging Initech:", graph)
initech.execute()
print("merging again finds it:", graph)

graph.query().match(node="p", properties={"name": "Dave"}).set("p", {"age": 26}).execute()
organisations = graph.query().match(node="o", properties={"kind": "organisation"})
organisations.set("o", {"listed": True}).execute()
print("dave is now", dave.properties["age"], "; acme listed:", acme.properties["listed"])

# Carol leaves Globex: bind the relation by a single step and delete it.
gone = graph.query().match("(p:carol)-[r:works_at]->(o:globex)").delete("r")
print("deleted:", [str(row["r"]) for row in gone.return_("r")], "->", graph)

# Aggregates are plain Python over the rows.
staff: dict[str, list[str]] = {}
for row in graph.query().match("(p)-[:works_at]->(o)").return_("p", "o"):
    staff.setdefault(name(row["o"]), []).append(name(row["p"]))
print("staff per organisation:", staff)
ages = sorted((row["p"].properties["age"], name(row["p"])) for row in people)
print("youngest first:", ", ".join(f"{who} ({age})" for age, who in ages))
