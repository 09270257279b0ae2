"""A simply typed calculus as a category: types are objects, terms are arrows.

Base types Nat and Bool; constants and curried functions between them. quorvel
checks every application, the graph holds one node per type and one edge per
unary function term, and composition builds new arrows whose types are checked
before they join the graph.

    PYTHONPATH=build python3 examples/lambda_calculus.py
"""

from __future__ import annotations

from typing import Callable, Union

from quorvel import Application, Edge, Graph, Node, Term, TypeSchema, Variable

AnyType = Union[Variable, Application]

nat = Variable("Nat")
bool_ = Variable("Bool")


def arrow(*types: AnyType) -> AnyType:
    """arrow(A, B, C) is A -> (B -> C): function types associate to the right."""
    result = types[-1]
    for t in reversed(types[:-1]):
        result = Application(t, result)
    return result


# Constants and functions.
zero = Term("zero", nat)
true = Term("true", bool_)
succ = Term("succ", arrow(nat, nat))
is_zero = Term("is_zero", arrow(nat, bool_))
not_ = Term("not", arrow(bool_, bool_))
plus = Term("plus", arrow(nat, nat, nat))
if_nat = Term("if", arrow(bool_, nat, nat, nat))

# Application: one arrow at a time; the result is named after the call.
one = succ(zero)
two = succ(one)
print("terms:")
for term in (one, two, plus(one), plus(one)(two), is_zero(plus(one)(two)),
             if_nat(is_zero(zero))(one)(two)):
    print("   ", term)

# Type checking refuses what does not fit.
print("checked:")
attempts: list[tuple[str, Callable[[], Term]]] = [
    ("not zero", lambda: not_(zero)),
    ("zero applied", lambda: zero(one)),
    ("plus true", lambda: plus(true)),
]
for label, attempt in attempts:
    try:
        attempt()
        print("   ", label, "accepted?!")
    except TypeError as err:
        print("   ", label, "->", err)


def compose(g: Term, f: Term) -> Term:
    """g . f, defined when f : A -> B and g : B -> C; its type is A -> C."""
    f_type, g_type = f.type, g.type
    if not (isinstance(f_type, Application) and isinstance(g_type, Application)):
        raise TypeError(f"cannot compose {g} after {f}: not both arrows")
    if f_type.right != g_type.left:
        raise TypeError(f"cannot compose {g} after {f}: {f_type.right} is not {g_type.left}")
    return Term(f"({g.name} . {f.name})", Application(f_type.left, g_type.right))


def identity(t: AnyType) -> Term:
    return Term(f"id_{t}", Application(t, t))


# The category: objects are the base types, arrows the unary function terms.
graph = Graph()
objects: dict[AnyType, Node] = {t: Node(t, {"kind": "object"}) for t in (nat, bool_)}
for node in objects.values():
    graph.nodes[node.uid()] = node


def add_arrow(term: Term) -> None:
    kind = term.type
    assert isinstance(kind, Application), term
    edge = Edge(term, objects[kind.left], objects[kind.right], {"arity": 1})
    graph.edges[edge.uid()] = edge


for term in (succ, is_zero, not_, identity(nat), identity(bool_)):
    add_arrow(term)
add_arrow(compose(not_, is_zero))                  # Nat -> Bool
add_arrow(compose(is_zero, succ))                  # Nat -> Bool
try:
    compose(succ, is_zero)
except TypeError as err:
    print("compose refused:", err)
print("category:", graph)

# Composition is associative and identities are neutral, up to type.
h, g, f = not_, is_zero, succ
assert compose(h, compose(g, f)).type == compose(compose(h, g), f).type
assert compose(identity(nat), f).type == f.type == compose(f, identity(nat)).type
print("laws: associativity and identity hold on types")

# Query the category: every arrow into Bool, with its source object.
print("arrows into Bool:")
for row in graph.query().match("(a)-[f:* -> Bool]->(b:Bool)").return_("a", "f"):
    edge = row["f"]
    assert isinstance(edge, Edge)
    print("   ", edge.term.name, ":", edge.term.type, "from", row["a"])

# Endomorphisms, found with a capture on both sides of the arrow.
endo = TypeSchema("$ (dom:*) -> (cod:*) $")
print("endomorphisms:")
for edge in graph.edges.values():
    parts = endo.capture(edge.term.type)
    if parts and parts["dom"] == parts["cod"]:
        print("   ", edge.term.name, "on", parts["dom"])

# Higher-order: plus : Nat -> (Nat -> Nat) is an arrow from Nat to the object Nat -> Nat.
nat_to_nat = arrow(nat, nat)
objects[nat_to_nat] = Node(nat_to_nat, {"kind": "exponential"})
graph.nodes[objects[nat_to_nat].uid()] = objects[nat_to_nat]
add_arrow(plus)
rows = graph.query().match(node="e", type=nat_to_nat).return_("e")
print("exponential object:", rows[0]["e"], "reached by",
      [e.term.name for e in graph.edges.values() if e.end.type == nat_to_nat])
