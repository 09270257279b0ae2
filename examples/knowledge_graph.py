"""A small knowledge graph: people, organisations and the relations between them.

Each individual is a type of its own (a node per type), with its facts in the
node's properties. Each kind of relation is a type too, and every single
relation is a term of that type, drawn as an edge: the term "alice works_at
acme" has the type works_at, so the pattern (p)-[r:works_at]->(o) finds all of
them. The queries filter and sort rows, project properties and follow paths of
several steps.

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

# Filter, sort and page whole rows; "p.name" returns a property, not the node.
over_30 = (graph.query().match("(p {kind: 'person'})")
           .where("p.age > 30").order_by("p", "age", ascending=False))
print("over 30, oldest first:", [(row["p.name"], row["p.age"]) for row in over_30.return_("p.name", "p.age")])
youngest = graph.query().match("(p {kind: 'person'})").order_by("p", "age").limit(2)
print("two youngest:", [row["p.name"] for row in youngest.return_("p.name")])

# A row per employee, so the employers repeat; return_distinct drops the repeats.
employers = graph.query().match("(p)-[:works_at]->(o)")
print("employers:", [row["o.name"] for row in employers.return_("o.name")],
      "distinct:", [row["o.name"] for row in employers.return_distinct("o.name")])

# with_ keeps only the named bindings for what follows.
long_serving = (graph.query().match("(p)-[r:works_at]->(o)")
                .where("r.since < 2016").with_("p").return_("p", "r", "o"))
print("long-serving:", [name(row["p"]) for row in long_serving],
      "keys kept:", sorted({key for row in long_serving for key in row}))

# Paths of several steps: friends of Alice's friends, and colleagues, who meet
# at one organisation through two works_at edges walked in opposite directions.
for row in graph.query().match("(a:alice)-[:knows]->(b)-[:knows]->(c)").return_("b", "c"):
    print(f"friend of a friend: Alice -> {name(row['b'])} -> {name(row['c'])}")
colleagues = (graph.query().match("(p)-[:works_at]->(o)<-[:works_at]-(q)")
              .where("p.name < q.name").return_("p", "o", "q"))
print("colleagues:", [f"{name(row['p'])} and {name(row['q'])} at {name(row['o'])}" for row in colleagues])

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

# Aggregates group the rows: staff per organisation, and the people who know
# most others, ranked in one chain (with_ names the count, order_by sorts by it).
staff = graph.query().match("(p)-[:works_at]->(o)").return_("o.name", "collect(p.name) AS staff")
print("staff per organisation:", {row["o.name"]: row["staff"] for row in staff})
ranked = (graph.query().match("(a)-[k:knows]->(b)")
          .with_("a", "count(k) AS knows").order_by("knows", ascending=False).limit(2)
          .return_("a.name", "knows"))
print("know most people:", [(row["a.name"], row["knows"]) for row in ranked])

# Reachability: everyone Dave reaches through one to three acquaintances. Only
# the distinct end points are asked for, so no path is listed.
reach = graph.query().match("(d:dave)-[:knows*1..3]->(x)").return_distinct("x.name")
print("dave reaches:", [row["x.name"] for row in reach])

# Parameters: values go in as Python objects, never pasted into the text.
named = graph.query().match("(p {name: $who})").parameters(who="Carol").return_("p.age")
print("carol's age:", named[0]["p.age"])
ages = sorted((row["p"].properties["age"], name(row["p"])) for row in people)
print("youngest first:", ", ".join(f"{who} ({age})" for age, who in ages))
