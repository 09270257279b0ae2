# Type stubs for the quorvel extension module.
#
# The classes cannot be subclassed, hence @final. Only Variable, Application
# and Term define equality and hashing; the other classes compare by identity.
# Construction happens in __new__ (the runtime __init__ is object's), so the
# stubs declare __new__.
# A default shown as `...` is one the module's own signatures write that way:
# for `type`, leaving it out and passing None are the same; `direction`
# defaults to "forward".

from typing import Any, final

from typing_extensions import TypeAlias

__all__ = [
    "Variable",
    "Application",
    "Term",
    "Node",
    "Edge",
    "Graph",
    "TypeSchema",
    "NodePattern",
    "EdgePattern",
    "PathPattern",
    "Query",
]

_Type: TypeAlias = Variable | Application
_Schema: TypeAlias = str | TypeSchema
# A row maps a variable to its Node or Edge, and a projection such as
# "n.name" to that property's value, which may be anything.
_Row: TypeAlias = dict[str, Any]

@final
class Variable:
    """An atomic type variable such as Person or A."""

    def __new__(cls, name: str) -> Variable: ...
    @property
    def name(self) -> str: ...
    @name.setter
    def name(self, value: str) -> None: ...
    def uid(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Application:
    """The function type from `left` (input) to `right` (output)."""

    def __new__(cls, left: _Type, right: _Type) -> Application: ...
    @property
    def left(self) -> _Type: ...
    @property
    def right(self) -> _Type: ...
    def uid(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Term:
    """A named inhabitant of a type; `f(x)` applies a function term."""

    def __new__(cls, name: str, type: _Type) -> Term: ...
    @property
    def name(self) -> str: ...
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def type(self) -> _Type: ...
    def uid(self) -> str: ...
    def __call__(self, other: Term) -> Term: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Node:
    """A vertex of a graph standing for a type, with a property dict."""

    def __new__(cls, type: _Type, properties: dict[Any, Any] | None = None) -> Node: ...
    @property
    def type(self) -> _Type: ...
    @property
    def properties(self) -> dict[Any, Any]: ...
    @properties.setter
    def properties(self, value: dict[Any, Any]) -> None: ...
    def uid(self) -> str: ...

@final
class Edge:
    """A directed edge standing for a term, from `start` to `end`."""

    def __new__(
        cls, term: Term, start: Node, end: Node, properties: dict[Any, Any] | None = None
    ) -> Edge: ...
    @property
    def term(self) -> Term: ...
    @property
    def start(self) -> Node: ...
    @property
    def end(self) -> Node: ...
    @property
    def properties(self) -> dict[Any, Any]: ...
    @properties.setter
    def properties(self, value: dict[Any, Any]) -> None: ...
    def uid(self) -> str: ...

@final
class Graph:
    """The container of one model: two dicts keyed by node and edge uids."""

    def __new__(cls) -> Graph: ...
    @property
    def nodes(self) -> dict[str, Node]: ...
    @property
    def edges(self) -> dict[str, Edge]: ...
    def query(self) -> Query: ...

@final
class TypeSchema:
    """A dollar-delimited, regex-like pattern over types."""

    def __new__(cls, pattern: str) -> TypeSchema: ...
    @property
    def pattern(self) -> str: ...
    def matches(self, type: _Type) -> bool: ...
    def capture(self, type: _Type) -> dict[str, _Type]: ...

@final
class NodePattern:
    """Variable, exact type, type schema and required properties of nodes."""

    def __new__(
        cls,
        variable: str | None = None,
        type: _Type | None = ...,
        type_schema: _Schema | None = None,
        properties: dict[str, Any] | None = None,
    ) -> NodePattern: ...
    @property
    def variable(self) -> str | None: ...

@final
class EdgePattern:
    """Variable, term, term type schema, properties and direction of edges."""

    def __new__(
        cls,
        variable: str | None = None,
        term: Term | None = None,
        term_type_schema: _Schema | None = None,
        properties: dict[str, Any] | None = None,
        direction: str = ...,
    ) -> EdgePattern: ...
    @property
    def variable(self) -> str | None: ...
    @property
    def direction(self) -> str: ...

@final
class PathPattern:
    """Node patterns joined by edge patterns, e.g. (a)-[e]->(b)."""

    def __new__(cls, pattern: str | None = None) -> PathPattern: ...
    @staticmethod
    def parse(pattern: str) -> PathPattern: ...
    def add_node(self, pattern: NodePattern) -> PathPattern: ...
    def add_edge(self, pattern: EdgePattern) -> PathPattern: ...
    @property
    def nodes(self) -> list[NodePattern]: ...
    @property
    def edges(self) -> list[EdgePattern]: ...

@final
class Query:
    """A queue of operations over a graph, run by the result methods.

    Every builder method appends to this query and returns a new Query
    holding a copy of the queue and the bindings.
    """

    def __new__(cls, graph: Graph) -> Query: ...
    def match(
        self,
        pattern: str | None = None,
        *,
        node: str | None = None,
        edge: str | None = None,
        start: str | None = None,
        end: str | None = None,
        type: _Type | None = ...,
        type_schema: _Schema | None = None,
        term: Term | None = None,
        term_type_schema: _Schema | None = None,
        properties: dict[str, Any] | None = None,
    ) -> Query: ...
    def where(self, condition: str) -> Query: ...
    def create(
        self,
        pattern: str | None = None,
        *,
        node: str | None = None,
        edge: str | None = None,
        type: _Type | None = ...,
        term: Term | None = None,
        start: str | None = None,
        end: str | None = None,
        properties: dict[str, Any] | None = None,
    ) -> Query: ...
    def merge(
        self,
        pattern: str | None = None,
        *,
        node: str | None = None,
        edge: str | None = None,
        type: _Type | None = ...,
        type_schema: _Schema | None = None,
        term: Term | None = None,
        term_type_schema: _Schema | None = None,
        start: str | None = None,
        end: str | None = None,
        properties: dict[str, Any] | None = None,
    ) -> Query: ...
    def set(self, variable: str, properties: dict[Any, Any]) -> Query: ...
    def delete(self, *variables: str, detach: bool = False) -> Query: ...
    def with_(self, *variables: str) -> Query: ...
    def order_by(self, variable: str, key: str | None = None, ascending: bool = True) -> Query: ...
    def limit(self, count: int) -> Query: ...
    def skip(self, count: int) -> Query: ...
    def return_(self, *variables: str) -> list[_Row]: ...
    def return_distinct(self, *variables: str) -> list[_Row]: ...
    def return_count(self) -> int: ...
    def execute(self) -> Query: ...
    def parameters(self, /, **values: Any) -> Query: ...
