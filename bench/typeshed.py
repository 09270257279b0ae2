"""The standard library's type stubs as a typed graph: real data for the benchmark.

Every .pyi file under the stub tree is parsed with `ast`, in sorted order so
that the graph is the same on every run. Single-argument functions become
edges: a module-level function with exactly one annotated parameter, or a
method whose only parameter besides self/cls is one annotated parameter, and
in both cases an annotated return. The function `f(x: A) -> B` is the edge
`f : A -> B` between the nodes of the type texts A and B (`ast.unparse` of the
annotations, so `list[str]`, `Literal['r']`, `os.PathLike[str]` are names).

The quorvel Graph and the equivalent networkx MultiDiGraph are built in the
same pass: nodes keyed by type text in networkx (the quorvel key is the uid),
edges keyed by the quorvel edge uid, so identical terms collapse in both.

    PYTHONPATH=build python3 bench/typeshed.py     # prints the counts
"""

import ast
import os
import sys

STUBS = "/usr/lib/python3/dist-packages/mypy/typeshed/stdlib"


def module_name(root, path):
    rel = os.path.relpath(path, root)[: -len(".pyi")].split(os.sep)
    if rel[-1] == "__init__":
        rel.pop()
    return ".".join(rel)


def stub_files(root=STUBS):
    found = []
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        found.extend(os.path.join(folder, f) for f in files if f.endswith(".pyi"))
    return sorted(found)


def _is_static(fn):
    return any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)


def single_parameter(fn, in_class):
    """The annotation of fn's only parameter (besides self/cls in a method), else None."""
    a = fn.args
    if a.vararg or a.kwarg or a.kwonlyargs or fn.returns is None:
        return None
    params = a.posonlyargs + a.args
    if in_class and not _is_static(fn):
        params = params[1:]  # self or cls, whatever it is called
    if len(params) != 1 or params[0].annotation is None:
        return None
    return params[0].annotation


def functions_in(tree, module):
    """(qualified name, argument type text, return type text, module) per single-argument function.

    Functions under `if sys.version_info ...:` blocks count as module-level
    (or class-level) ones: the stubs put most version-dependent API there.
    """
    found = []
    stack = [(list(reversed(tree.body)), module, False)]
    while stack:
        body, prefix, in_class = stack.pop()
        if not body:
            continue
        stmt = body.pop()
        stack.append((body, prefix, in_class))
        if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)):
            arg = single_parameter(stmt, in_class)
            if arg is not None:
                found.append((f"{prefix}.{stmt.name}", ast.unparse(arg), ast.unparse(stmt.returns), module))
        elif isinstance(stmt, ast.ClassDef):
            stack.append((list(reversed(stmt.body)), f"{prefix}.{stmt.name}", True))
        elif isinstance(stmt, ast.If):
            stack.append((list(reversed(stmt.body + stmt.orelse)), prefix, in_class))
    return found


def extract(root=STUBS):
    """Every single-argument function of the stub tree, in a deterministic order."""
    found = []
    for path in stub_files(root):
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read(), filename=path)
        found.extend(functions_in(tree, module_name(root, path)))
    return found


def build(funcs, nx=None):
    """The quorvel Graph and (when networkx is given) the equivalent MultiDiGraph."""
    from quorvel import Application, Edge, Graph, Node, Term, Variable

    g = Graph()
    G = nx.MultiDiGraph() if nx is not None else None
    gn, ge = g.nodes, g.edges
    nodes = {}

    def node(text):
        nd = nodes.get(text)
        if nd is None:
            nd = nodes[text] = Node(Variable(text), {"name": text, "length": len(text)})
            gn[nd.uid()] = nd
            if G is not None:
                G.add_node(text, name=text, length=len(text))
        return nd

    for name, arg, ret, module in funcs:
        a, b = node(arg), node(ret)
        e = Edge(Term(name, Application(a.type, b.type)), a, b, {"module": module})
        uid = e.uid()
        ge[uid] = e
        if G is not None:
            G.add_edge(arg, ret, key=uid, name=name, module=module)
    return g, G


def load(root=STUBS, nx=None):
    """(graph, networkx graph, number of functions read) or None when the stubs are absent."""
    if not os.path.isdir(root):
        return None
    funcs = extract(root)
    g, G = build(funcs, nx)
    return g, G, len(funcs)


def main():
    try:
        import networkx
    except ImportError:
        networkx = None
    got = load(nx=networkx)
    if got is None:
        print(f"no stubs under {STUBS} (Debian package python3-mypy)")
        return 1
    g, G, nfuncs = got
    print(f"{len(stub_files())} stub files, {nfuncs} single-argument functions: "
          f"{len(g.nodes)} types, {len(g.edges)} distinct terms" +
          (f"; networkx {G.number_of_nodes()} nodes, {G.number_of_edges()} edges" if G is not None else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
