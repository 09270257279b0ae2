"""The bad inputs tried at every entry point and what each one gets.

The "Bad inputs tried" section of docs/errors.md is rendered from TABLE;
test_bad_inputs.py runs every row and checks that the page holds exactly what
render() makes of the table. After changing the table:

    PYTHONPATH=build python3 tests/python/bad_inputs.py --write
"""

import re
import sys
from pathlib import Path

PAGE = Path(__file__).resolve().parents[2] / "docs" / "errors.md"
HEADING = "## Bad inputs tried"

# The names the rows use.
SETUP = """\
import copy, pickle

import networkx
from quorvel import (Application, Edge, EdgePattern, Graph, Node, NodePattern, PathPattern,
                     Query, Term, TypeSchema, Variable, parse_type)

A, B = Variable("A"), Variable("B")
f, x = Term("f", Application(A, B)), Term("x", A)
node = Node(A, {"k": 1})
edge = Edge(f, node, node)
graph = Graph()
graph.nodes[node.uid()] = node
q = graph.query()
junk = Graph()
junk.nodes["bad"] = 5
junk.edges["bad"] = "edge"
odd = Graph()
odd.nodes[node.uid()] = Node(A, {"when": (1, 2)})


class Raising:
    def __eq__(self, other):
        raise ValueError("compared")

    __hash__ = object.__hash__
"""

# A row: (the code, the exception's name, its message). A message starting with
# "..." is the end of a message too long to quote. The exception "none" marks
# inputs that are accepted, with what becomes of them in place of a message.
TABLE = {
    "Variable(name)": [
        ("Variable(5)", "TypeError", "argument 'name': expected str, got int"),
        ("Variable(b'A')", "TypeError", "argument 'name': expected str, got bytes"),
        ("Variable(name=None)", "TypeError", "argument 'name': expected str, got NoneType"),
        ("Variable()", "TypeError", "Variable() missing required argument 'name' (pos 1)"),
        ("Variable('A', 'B')", "TypeError", "Variable() takes at most 1 positional argument (2 given)"),
        ("Variable('A', bogus=1)", "TypeError", "Variable() got an unexpected keyword argument 'bogus'"),
        ("Variable('\\ud800')", "UnicodeEncodeError",
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
        ("Variable('a\\0b')", "none", "a name with an embedded NUL; uid and text keep it"),
        ("setattr(A, 'name', 5)", "TypeError", "argument 'name': expected str, got int"),
        ("delattr(A, 'name')", "AttributeError", "can't delete attribute"),
        ("A < B", "TypeError", "'<' not supported between instances of 'Variable' and 'Variable'"),
    ],
    "Application(left, right)": [
        ("Application('A', B)", "TypeError", "Expected Variable or Application"),
        ("Application(A, None)", "TypeError", "Expected Variable or Application"),
        ("Application(node, B)", "TypeError", "Expected Variable or Application"),
        ("Application(A)", "TypeError", "Application() missing required argument 'right' (pos 2)"),
        ("setattr(Application(A, B), 'left', B)", "AttributeError",
         "attribute 'left' of 'Application' objects is not writable"),
    ],
    "Term(name, type) and term(other)": [
        ("Term(5, A)", "TypeError", "argument 'name': expected str, got int"),
        ("Term('f', 'A')", "TypeError", "Expected Variable or Application"),
        ("Term('f')", "TypeError", "Term() missing required argument 'type' (pos 2)"),
        ("Term('\\udc00', A)", "UnicodeEncodeError",
         "'utf-8' codec can't encode character '\\udc00' in position 0: surrogates not allowed"),
        ("setattr(f, 'type', A)", "AttributeError", "attribute 'type' of 'Term' objects is not writable"),
        ("delattr(f, 'name')", "AttributeError", "can't delete attribute"),
        ("f(5)", "TypeError", "argument 'other': expected Term, got int"),
        ("f()", "TypeError", "Term.__call__() missing required argument 'other' (pos 1)"),
        ("f(x, x)", "TypeError", "Term.__call__() takes at most 1 positional argument (2 given)"),
        ("f(Term('y', B))", "TypeError", "Type mismatch: expected A, got B (in function application)"),
        ("x(x)", "TypeError",
         "Type mismatch: expected application type (A -> B), got A (in term application)"),
    ],
    "parse_type(text)": [
        ("parse_type(5)", "TypeError", "argument 'text': expected str, got int"),
        ("parse_type('')", "ValueError", "Invalid type text: expected a type name at position 0"),
        ("parse_type('(A -> B')", "ValueError", "Invalid type text: expected ')' to close '(' at position 0"),
        ("parse_type('A -> B -> C')", "ValueError",
         "Invalid type text: ambiguous '->': group the arrows with parentheses at position 7"),
        ("parse_type('(A -> )')", "ValueError", "Invalid type text: expected a type name at position 6"),
        ("parse_type('A)')", "ValueError", "Invalid type text: unexpected ')' at position 1"),
        ("parse_type('A (B)')", "ValueError",
         "Invalid type text: expected '->' or the end of the text at position 2"),
        ("parse_type('(' * 10**6 + 'A')", "ValueError", "...: expected ')' to close '(' at position 999999"),
        ("parse_type('Big Company -> A')", "none", "names keep their inner white space"),
    ],
    "Node(type, properties)": [
        ("Node('A')", "TypeError", "Expected Variable or Application"),
        ("Node()", "TypeError", "Node() missing required argument 'type' (pos 1)"),
        ("Node(A, [1])", "TypeError", "argument 'properties': expected dict, got list"),
        ("Node(A, properties=5)", "TypeError", "argument 'properties': expected dict, got int"),
        ("setattr(node, 'properties', None)", "TypeError",
         "argument 'properties': expected dict, got NoneType"),
        ("delattr(node, 'properties')", "AttributeError", "can't delete attribute"),
        ("setattr(node, 'type', B)", "AttributeError", "attribute 'type' of 'Node' objects is not writable"),
    ],
    "Edge(term, start, end, properties)": [
        ("Edge(5, node, node)", "TypeError", "expected Term, got int"),
        ("Edge(f, 5, node)", "TypeError", "expected Node, got int"),
        ("Edge(f, node, 'n')", "TypeError", "expected Node, got str"),
        ("Edge(f, node, node, [])", "TypeError", "argument 'properties': expected dict, got list"),
        ("Edge(f, node)", "TypeError", "Edge() missing required argument 'end' (pos 3)"),
        ("setattr(edge, 'start', node)", "AttributeError",
         "attribute 'start' of 'Edge' objects is not writable"),
    ],
    "Graph()": [
        ("Graph(1)", "TypeError", "Graph() takes no arguments (1 given)"),
        ("Graph(nodes={})", "TypeError", "Graph() takes no arguments (1 given)"),
        ("setattr(graph, 'nodes', {})", "AttributeError",
         "attribute 'nodes' of 'Graph' objects is not writable"),
    ],
    "Graph.to_json, save, from_json, load": [
        ("junk.to_json()", "TypeError", "cannot save graph.nodes['bad']: expected Node, got int"),
        ("odd.to_json()", "TypeError",
         "...: a tuple, which is not a JSON value (str, int, float, bool, None, list, or dict with str keys)"),
        ("graph.save(5)", "TypeError", "expected str, bytes or os.PathLike object, not int"),
        ("graph.save('/nonexistent/g.json')", "FileNotFoundError",
         "[Errno 2] No such file or directory: '/nonexistent/g.json'"),
        ("Graph.from_json(5)", "TypeError", "argument 'text': expected str or bytes, got int"),
        ("Graph.from_json('')", "ValueError", "Invalid graph file at line 1, column 1: unexpected end of text"),
        ("Graph.from_json('[]')", "ValueError",
         "Invalid graph file at line 1, column 1: a graph file is a JSON object"),
        ("Graph.from_json('{\"format\": \"quorvel-graph\", \"version\": 2}')", "ValueError",
         "Invalid graph file at line 1, column 40: unsupported version 2 (this version of quorvel reads version 1)"),
        ("Graph.from_json(graph.to_json()[:-30])", "ValueError", "...(nodes[0]): unexpected end of text in a string"),
        ("Graph.from_json(graph.to_json().replace('\"type\":0', '\"type\":9'))", "ValueError",
         "...(nodes[0].type): expected an index into \"types\", which has 1 entries, got 9"),
        ("Graph.load('/nonexistent/g.json')", "FileNotFoundError",
         "[Errno 2] No such file or directory: '/nonexistent/g.json'"),
        ("Graph().__setstate__(5)", "ValueError", "malformed Graph state: unknown form"),
    ],
    "Graph.to_networkx, from_networkx, to_dot": [
        ("junk.to_networkx()", "TypeError", "cannot convert graph.nodes['bad']: expected Node, got int"),
        ("Graph.from_networkx(5)", "TypeError", "argument 'graph': expected a networkx graph, got int"),
        ("Graph.from_networkx(networkx.DiGraph([(1, 2)]))", "TypeError",
         "node 1 has no attribute \"type\" (a Variable, an Application or a type text)"),
        ("junk.to_dot()", "TypeError", "cannot draw graph.nodes['bad']: expected Node, got int"),
        ("graph.to_dot(5)", "TypeError", "argument 'name': expected str, got int"),
    ],
    "TypeSchema(pattern), matches, capture": [
        ("TypeSchema(5)", "TypeError", "argument 'pattern': expected str, got int"),
        ("TypeSchema()", "TypeError", "TypeSchema() missing required argument 'pattern' (pos 1)"),
        ("TypeSchema('$\\ud800$')", "UnicodeEncodeError",
         "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
        ("TypeSchema('$((($')", "none", "every text is a schema; this one matches nothing"),
        ("TypeSchema('$*$').matches('A')", "TypeError", "Expected Variable or Application"),
        ("TypeSchema('$*$').capture(None)", "TypeError", "Expected Variable or Application"),
        ("TypeSchema('$*$').matches()", "TypeError", "matches() missing required argument 'type' (pos 1)"),
    ],
    "NodePattern(variable, type, type_schema, properties)": [
        ("NodePattern(5)", "TypeError", "argument 'variable': expected str, got int"),
        ("NodePattern(type='A')", "TypeError", "Expected Variable or Application"),
        ("NodePattern(properties=[1])", "TypeError", "argument 'properties': expected dict, got list"),
        ("NodePattern(properties={1: 2})", "TypeError", "argument 'properties': keys must be str, got int"),
        ("NodePattern('n', A, None, None, 5)", "TypeError",
         "NodePattern() takes at most 4 positional arguments (5 given)"),
        ("NodePattern(type_schema=5)", "none", "neither str nor TypeSchema: no schema"),
    ],
    "EdgePattern(variable, term, term_type_schema, properties, direction)": [
        ("EdgePattern(direction=None)", "TypeError", "argument 'direction': expected str, got NoneType"),
        ("EdgePattern(term=5)", "TypeError", "expected Term, got int"),
        ("EdgePattern(variable=5)", "TypeError", "argument 'variable': expected str, got int"),
        ("EdgePattern(properties={None: 1})", "TypeError", "argument 'properties': keys must be str, got NoneType"),
        ("EdgePattern(direction='up')", "none", "kept as given; a run reads it as forward"),
    ],
    "PathPattern(pattern), parse, add_node, add_edge": [
        ("PathPattern(5)", "TypeError", "argument 'pattern': expected str, got int"),
        ("PathPattern('(a')", "ValueError", "Invalid pattern '(a': Unmatched parentheses in pattern"),
        ("PathPattern('(a)-[e]->')", "ValueError",
         "Invalid pattern '(a)-[e]->': Pattern cannot end with an edge"),
        ("PathPattern('(' * 10**6)", "ValueError", "...: Unmatched parentheses in pattern"),
        ("PathPattern('(a)<-[e {k: 1}]->(b)')", "ValueError",
         "Invalid pattern '<-[e {k: 1}]->': Cannot have both <- and -> in same edge"),
        ("PathPattern('(a)-[e {k: 1}][f]->(b)')", "ValueError",
         "Invalid pattern '(a)-[e {k: 1}][f]->(b)': Property map must come last in a node or edge pattern"),
        ("PathPattern('(a)-[e*3..1]->(b)')", "ValueError",
         "Invalid pattern '-[e*3..1]->': Invalid quantifier '*3..1': the lower bound 3 is above the upper bound 1"),
        ("PathPattern('(a)-[e*a]->(b)')", "ValueError",
         "Invalid pattern '-[e*a]->': Invalid quantifier '*a': expected *, *n, *n.., *..m or *n..m"),
        ("PathPattern('(a)-[*-1]->(b)')", "ValueError",
         "Invalid pattern '-[*-1]->': Invalid quantifier '*-1': bounds cannot be negative"),
        ("PathPattern('(a)-[e*4294967296]->(b)')", "ValueError",
         "Invalid pattern '-[e*4294967296]->': Invalid quantifier '*4294967296': bounds cannot exceed 2147483648"),
        ("PathPattern('(n {name: $})')", "ValueError",
         "Invalid pattern '(n {name: $})': Expected a parameter name after '$' in property map"),
        ("PathPattern('(n {tags: [1, $t]})')", "ValueError",
         "Invalid pattern '(n {tags: [1, $t]})': A parameter cannot stand inside a list in property map"),
        ("PathPattern('(\\ud800)')", "UnicodeEncodeError",
         "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
        ("PathPattern.parse(None)", "TypeError", "argument 'pattern': expected str, got NoneType"),
        ("PathPattern.parse()", "TypeError", "parse() missing required argument 'pattern' (pos 1)"),
        ("PathPattern().add_node(EdgePattern())", "TypeError",
         "argument 'pattern': expected NodePattern, got EdgePattern"),
        ("PathPattern().add_edge(NodePattern())", "TypeError",
         "argument 'pattern': expected EdgePattern, got NodePattern"),
        ("PathPattern().add_node(5)", "TypeError", "argument 'pattern': expected NodePattern, got int"),
    ],
    "Query(graph)": [
        ("Query(5)", "TypeError", "argument 'graph': expected Graph, got int"),
        ("Query()", "TypeError", "Query() missing required argument 'graph' (pos 1)"),
        ("Query(graph, graph)", "TypeError", "Query() takes at most 1 positional argument (2 given)"),
        ("pickle.dumps(q)", "TypeError", "cannot pickle 'Query' object"),
        ("copy.deepcopy(q)", "TypeError", "cannot pickle 'Query' object"),
    ],
    "Query.match": [
        ("q.match(5)", "TypeError", "argument 'pattern': expected str, got int"),
        ("q.match('(a')", "ValueError", "Invalid pattern '(a': Unmatched parentheses in pattern"),
        ("graph.query().match('(n {name: $who})').return_('n')", "NameError", "Parameter 'who' has no value (match)"),
        ("q.match('(a)', '(b)')", "TypeError", "match() takes at most 1 positional argument (2 given)"),
        ("q.match(node=5)", "TypeError", "argument 'node': expected str, got int"),
        ("q.match(node='n', type='A')", "TypeError", "Expected Variable or Application"),
        ("q.match(node='n', properties=[1])", "TypeError", "argument 'properties': expected dict, got list"),
        ("q.match(node='n', properties={1: 2})", "TypeError", "argument 'properties': keys must be str, got int"),
        ("q.match(edge='e', term=A)", "TypeError", "expected Term, got Variable"),
        ("q.match(bogus=1)", "TypeError", "match() got an unexpected keyword argument 'bogus'"),
        ("q.match(node='n', type_schema=5)", "none", "neither str nor TypeSchema: no schema"),
    ],
    "Query.where": [
        ("q.where(5)", "TypeError", "argument 'condition': expected str, got int"),
        ("q.where()", "TypeError", "where() missing required argument 'condition' (pos 1)"),
        ("q.where('n.age >')", "ValueError", "Invalid query: expected a value after '>' at position 7 (where)"),
        ("q.where(r\"n.name = '\\q'\")", "ValueError", "Invalid query: invalid escape '\\q' at position 10 (where)"),
        ("q.where('(' * 300 + 'n.a' + ')' * 300)", "ValueError",
         "Invalid query: condition nested too deeply at position 256 (where)"),
        ("q.where('n.name = $')", "ValueError",
         "Invalid query: expected a parameter name after '$' at position 10 (where)"),
        ("q.where('n.name IN [$a]')", "ValueError",
         "Invalid query: a parameter cannot stand inside a list at position 11 (where)"),
        ("q.where('foo(n) = 1')", "ValueError", "Invalid query: unknown function 'foo' at position 0 (where)"),
        ("q.where('count(n) > 1')", "ValueError",
         "Invalid query: aggregate count() is not allowed in a condition at position 0 (where)"),
        ("q.where('lower(n.a, n.b)')", "ValueError",
         "Invalid query: lower() takes exactly 1 argument (2 given) at position 0 (where)"),
        ("q.where('n:(A -> B')", "ValueError", "Invalid query: expected ')' to close '(' at position 2 (where)"),
        ("graph.query().match(node='n').where('lower(n.k) = $x').return_count()", "NameError",
         "Parameter 'x' has no value (where)"),
    ],
    "Query.create and Query.merge": [
        ("q.create('(a:A)-[e*1..3]->(b:B)')", "ValueError",
         "Invalid query: a variable-length edge can only be matched (create)"),
        ("q.create(node='p', type_schema='$A$')", "TypeError",
         "create() got an unexpected keyword argument 'type_schema'"),
        ("q.create(node='p', type=5)", "TypeError", "Expected Variable or Application"),
        ("q.create(node='p', type=A, properties=[1])", "TypeError",
         "argument 'properties': expected dict, got list"),
        ("q.create(edge='e')", "ValueError", "Invalid query: Variable name required"),
        ("q.create(edge='e', start='a', end=node)", "ValueError",
         "Invalid query: Expected string variable name (variable extraction)"),
        ("q.create('(a)-[e]->')", "ValueError", "Invalid pattern '(a)-[e]->': Pattern cannot end with an edge"),
        ("q.merge(edge='e', start='a')", "ValueError", "Invalid query: Variable name required"),
        ("q.merge(edge='e', start='a', end=node)", "ValueError",
         "Invalid query: Expected string variable name (variable extraction)"),
        ("q.merge(node='p', type='A')", "TypeError", "Expected Variable or Application"),
        ("q.merge('(a')", "ValueError", "Invalid pattern '(a': Unmatched parentheses in pattern"),
    ],
    "Query.set, delete, with_, order_by": [
        ("q.set('n', [1])", "TypeError", "argument 'properties': expected dict, got list"),
        ("q.set(5, {})", "TypeError", "argument 'variable': expected str, got int"),
        ("q.set('n')", "TypeError", "set() missing required argument 'properties' (pos 2)"),
        ("q.delete(5)", "TypeError", "argument 'variables': expected str, got int"),
        ("q.delete('n', detach=1)", "TypeError", "argument 'detach': expected bool, got int"),
        ("q.delete('n', bogus=True)", "TypeError", "delete() got an unexpected keyword argument 'bogus'"),
        ("q.with_('n', None)", "TypeError", "argument 'variables': expected str, got NoneType"),
        ("q.order_by()", "TypeError", "order_by() missing required argument 'variable' (pos 1)"),
        ("graph.query().match(node='n').order_by('n').return_('n')", "ValueError",
         "Invalid query: order_by without a key needs values, not the node or edge 'n' (order_by)"),
        ("q.with_('count(')", "ValueError", "Invalid query: expected ')' to close '(' at position 5 (with_)"),
        ("q.return_('n', 'avg(DISTINCT *)')", "ValueError",
         "Invalid query: '*' stands only in count(*) at position 13 (return_)"),
        ("q.order_by('n', 5)", "TypeError", "argument 'key': expected str, got int"),
        ("q.order_by('n', 'age', ascending=1)", "TypeError", "argument 'ascending': expected bool, got int"),
    ],
    "Query.limit and Query.skip": [
        ("q.limit(-1)", "OverflowError", "argument 'count': must be a non-negative integer"),
        ("q.skip(-1)", "OverflowError", "argument 'count': must be a non-negative integer"),
        ("q.limit(2**64)", "OverflowError", "argument 'count': integer does not fit in 64 bits"),
        ("q.limit('1')", "TypeError", "argument 'count': expected int, got str"),
        ("q.limit(1.5)", "TypeError", "argument 'count': expected int, got float"),
        ("q.skip(True)", "TypeError", "argument 'count': expected int, got bool"),
    ],
    "Query.return_, return_distinct, return_count, execute": [
        ("q.return_(5)", "TypeError", "argument 'variables': expected str, got int"),
        ("q.return_distinct(None)", "TypeError", "argument 'variables': expected str, got NoneType"),
        ("q.return_count(1)", "TypeError", "Query.return_count() takes no arguments (1 given)"),
        ("q.execute(1)", "TypeError", "Query.execute() takes no arguments (1 given)"),
        ("q.return_('nobody')", "none", "[]: an unbound name contributes nothing"),
    ],
    "A run (any result method)": [
        ("junk.query().match(node='n').return_count()", "TypeError", "expected Node, got int"),
        ("junk.query().match('(a)-[e]->(b)').return_count()", "TypeError", "expected Edge, got str"),
        ("graph.query().match(node='n').where('zz.age = 1').return_count()", "NameError",
         "Variable 'zz' not found (where)"),
        ("graph.query().match(node='n', properties={'k': Raising()}).return_count()", "ValueError",
         "compared"),
    ],
}


def namespace():
    ns = {}
    exec(SETUP, ns)
    return ns


def outcome(code, ns):
    """(exception name, message) of running `code`, or ("none", None)."""
    try:
        eval(code, ns)
    except Exception as e:
        return type(e).__name__, str(e)
    return "none", None


def cell(text):
    """Code in a table cell: a backtick span, with the table's separator escaped."""
    return "`" + text.replace("|", "\\|") + "`"


def render():
    lines = [
        HEADING,
        "",
        "Every entry point was given inputs of the wrong kind, missing or extra",
        "arguments, unencodable strings and malformed texts. What each gets is listed",
        "below; the test suite runs every row. In the rows, `A`, `B` are",
        "`Variable(\"A\")`, `Variable(\"B\")`; `f` is `Term(\"f\", Application(A, B))`",
        "and `x` is `Term(\"x\", A)`; `node` is `Node(A, {\"k\": 1})`, `edge` is",
        "`Edge(f, node, node)`; `graph` holds `node`, `q` is `graph.query()`; `junk` is",
        "a `Graph` with `5` stored in its `nodes` and `\"edge\"` in its `edges`; `odd`",
        "holds a node whose property `when` is the tuple `(1, 2)`;",
        "`Raising()` is a value whose `__eq__` raises `ValueError(\"compared\")`.",
        "A row marked *accepted* is not an error; the last column says what becomes of",
        "the input.",
    ]
    for entry, rows in TABLE.items():
        lines += ["", f"### {entry}", "", "| Input | Exception | Message |", "|---|---|---|"]
        for code, kind, message in rows:
            if kind == "none":
                shown_kind, shown_message = "*accepted*", message
            else:
                shown_kind, shown_message = f"`{kind}`", cell(message)
            lines.append(f"| {cell(code)} | {shown_kind} | {shown_message} |")
    return "\n".join(lines) + "\n"


def page_section(text):
    """The section of the page, from its heading to the next heading of its level."""
    start = text.find(HEADING + "\n")
    if start < 0:
        return None, None
    following = re.search(r"^## ", text[start + len(HEADING):], re.M)
    end = start + len(HEADING) + following.start() if following else len(text)
    return start, end


def write():
    text = PAGE.read_text(encoding="utf-8")
    start, end = page_section(text)
    section = render()
    if start is None:
        new = text.rstrip("\n") + "\n\n" + section
    else:
        new = text[:start] + section + ("\n" if end < len(text) else "") + text[end:]
    PAGE.write_text(new, encoding="utf-8")


if __name__ == "__main__":
    if sys.argv[1:] == ["--write"]:
        write()
    else:
        sys.exit(__doc__)
