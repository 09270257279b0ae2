"""The query engine against a plain walk of the graph's two dicts.

A random graph is edited between runs through every dict API, through the
properties of its elements and through the engine's own writes, so that the
engine's node and edge indexes are built, reused, followed and thrown away.
After each edit a random match -- node form, edge form, or a path of up to
three hops in any directions with types, schemas, property maps (literal or
$parameter) and quantifiers -- followed by a chain of where / skip / limit is
compared with an oracle that reads the dicts as the documented rules say:
which rows, in which order, and which node copies are bound."""

from dataclasses import dataclass, field

from hypothesis import given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from quorvel import Application, Edge, Graph, Node, Term, TypeSchema, Variable

A, B, C = (Variable(n) for n in "ABC")
TYPES = {"A": A, "B": B, "C": C, "A -> B": Application(A, B)}
NAN = float("nan")
# Property values and how a pattern writes them (None: only as a parameter).
VALUES = [(0, "0"), (1, "1"), (1.0, "1.0"), (True, "true"), (None, "null"), ("x", "'x'"), ([1], "[1]"),
          ([1.0], "[1.0]"), (NAN, None)]
PLAIN = [v for v, _ in VALUES]
SCHEMAS = ["$*$", "$A -> *$", "$* -> B$", "$(_:A -> B) -> *$", "$C -> C$"]


class SubKey(str):
    """A str key that is not an exact str (the engine may not index such a dict)."""


class TooMany(Exception):
    """The oracle would enumerate too many paths for a quick check."""


def fits(props, want):
    return all(k in props and want[k] == props[k] for k in want)


def schema_fits(schema, type_):
    return schema is None or TypeSchema(schema).matches(type_)


def literal_map(props, params):
    """A pattern's property map text; values without a literal become parameters."""
    parts = []
    for key, (value, text) in props.items():
        if text is None:
            name = f"v{len(params)}"
            params[name] = value
            text = "$" + name
        parts.append(f"{key}: {text}")
    return " {" + ", ".join(parts) + "}"


# ---- match shapes and their oracles ------------------------------------------------


@dataclass
class NodeP:
    var: str | None
    type: str | None  # written in the pattern text, so read as the schema $type$
    props: dict = field(default_factory=dict)  # key -> (value, literal text or None)

    def text(self, params):
        return f"({self.var or ''}{':' + self.type if self.type else ''}" + (
            literal_map(self.props, params) if self.props else "") + ")"

    def fits(self, node):
        return schema_fits(self.type and f"${self.type}$", node.type) and fits(
            node.properties, {k: v for k, (v, _) in self.props.items()})


@dataclass
class EdgeP:
    var: str | None
    direction: str
    quant: tuple | None  # (lo, hi) of a variable-length edge
    schema: str | None
    props: dict = field(default_factory=dict)

    def text(self, params):
        q = "" if self.quant is None else f"*{self.quant[0]}..{self.quant[1]}"
        inner = f"{self.var or ''}{':' + self.schema if self.schema else ''}{q}"
        inner += literal_map(self.props, params) if self.props else ""
        return {"forward": "-[{}]->", "backward": "<-[{}]-", "any": "-[{}]-"}[self.direction].format(inner)

    def fits(self, edge):
        return schema_fits(self.schema, edge.term.type) and fits(
            edge.properties, {k: v for k, (v, _) in self.props.items()})


@dataclass
class PathShape:
    nodes: list
    edges: list

    def build(self, q):
        params = {}
        text = self.nodes[0].text(params)
        for e, n in zip(self.edges, self.nodes[1:]):
            text += e.text(params) + n.text(params)
        q = q.match(text)
        return q.parameters(**params) if params else q

    def positions(self):
        out = [self.nodes[0].var]
        for e, n in zip(self.edges, self.nodes[1:]):
            out += [e.var, n.var]
        return out

    def rows(self, g, budget=20000):
        """Every path as the list of its position values, in the documented order."""
        edges = list(g.edges.values())
        ends = [(e.start, e.end) for e in edges]  # the copies the edges hold
        spent = [0]
        out = []

        def turns(j, i):  # forward before backward; an undirected self-loop once
            d, (s, t) = self.edges[j].direction, ends[i]
            return ([False] if d != "backward" else []) + (
                [True] if d != "forward" and not (d == "any" and s.type == t.type) else [])

        def trails(j, here, length, used, trail):
            spent[0] += 1
            if spent[0] > budget:
                raise TooMany
            if len(trail) == length:
                yield list(trail)
                return
            for i, e in enumerate(edges):
                if i in used or any(i == k for k, _ in trail) or not self.edges[j].fits(e):
                    continue
                for back in turns(j, i):
                    leave, arrive = ends[i][::-1] if back else ends[i]
                    if (here.type != leave.type) if here is not None else not self.nodes[0].fits(leave):
                        continue
                    trail.append((i, back))
                    yield from trails(j, arrive, length, used, trail)
                    trail.pop()

        def segment(j, at, used, pos):
            if j == len(self.edges):
                out.append(pos)
                return
            shape = self.edges[j]
            lo, hi = shape.quant or (1, 1)
            if lo == 0:
                # No hop: at the start, each stored node the first pattern takes.
                for n in ([at] if at is not None else list(g.nodes.values())):
                    if (at is not None or self.nodes[0].fits(n)) and self.nodes[j + 1].fits(n):
                        segment(j + 1, n, used, (pos or [n]) + [[], n])
            for length in range(max(lo, 1), min(hi, len(edges)) + 1):
                for trail in trails(j, at, length, used, []):
                    i, back = trail[-1]
                    end = ends[i][0 if back else 1]
                    if not self.nodes[j + 1].fits(end):
                        continue
                    first = pos or [ends[trail[0][0]][1 if trail[0][1] else 0]]
                    value = [edges[k] for k, _ in trail] if shape.quant else edges[i]
                    segment(j + 1, end, used | {k for k, _ in trail}, first + [value, end])

        if not self.edges:
            return [[n] for n in g.nodes.values() if self.nodes[0].fits(n)]
        segment(0, None, frozenset(), None)
        return out


@dataclass
class NodeForm:
    var: str
    type: object
    schema: str | None
    props: dict

    def build(self, q):
        return q.match(node=self.var, type=self.type, type_schema=self.schema, properties=self.props or None)

    def positions(self):
        return [self.var]

    def rows(self, g):
        return [[n] for n in g.nodes.values()
                if (self.type is None or n.type == self.type) and schema_fits(self.schema, n.type)
                and fits(n.properties, self.props)]


@dataclass
class EdgeForm:
    start: str | None
    end: str | None
    term: object
    schema: str | None
    props: dict

    def build(self, q):
        return q.match(edge="r", start=self.start, end=self.end, term=self.term,
                       term_type_schema=self.schema, properties=self.props or None)

    def positions(self):
        return [self.start, "r", self.end]

    def rows(self, g):
        return [[e.start, e, e.end] for e in g.edges.values()
                if (self.term is None or e.term == self.term) and schema_fits(self.schema, e.term.type)
                and fits(e.properties, self.props)]


def columns(shape, rows):
    """Bindings: per variable, the values of its last position."""
    names = shape.positions()
    table = {}
    for i, name in enumerate(names):
        if name is not None and name not in names[i + 1:]:
            table[name] = [r[i] for r in rows]
    return table


# ---- conditions, rows, and what rows show ----------------------------------------------------

HOLE = object()


def value_at(table, name, i):
    col = table.get(name, [])
    return col[i] if i < len(col) else HOLE


def n_rows(table):
    return max((len(c) for c in table.values()), default=0)


def keep(table, kept):
    out = {}
    for name, col in table.items():
        new = [col[i] if i < len(col) else HOLE for i in kept]
        while new and new[-1] is HOLE:
            new.pop()
        out[name] = new
    return out


def prop(v, key="p"):
    if v is HOLE or isinstance(v, list):
        return None
    return v.properties.get(key)


def eq3(x, y):
    return None if x is None or y is None else bool(x == y)


def gt3(x):
    if x is None:
        return None
    try:
        return bool(x > 0)
    except TypeError:
        return None


def sized(x):
    return len(x) if isinstance(x, (str, list)) else None


def not3(x):
    return None if x is None else not x


def type3(v, type_name):
    if v is HOLE:
        return None
    return TypeSchema(f"${type_name}$").matches(v.term.type if isinstance(v, Edge) else v.type)


@st.composite
def conditions(draw, names, params):
    """(text, test of one row's values by name) for a where over `names`."""

    def atom():
        v, w = draw(st.sampled_from(names)), draw(st.sampled_from(names))
        value, text = draw(st.sampled_from(VALUES[:-1] + [(NAN, None)]))
        if text is None or draw(st.booleans()):
            name = f"w{len(params)}"
            params[name] = value
            text = "$" + name
        forms = [
            (f"{v}.p = {text}", lambda r: eq3(prop(r[v]), value)),
            (f"{v}.p <> {text}", lambda r: not3(eq3(prop(r[v]), value))),
            (f"{v}.p > 0", lambda r: gt3(prop(r[v]))),
            (f"{v}.p IS NULL", lambda r: prop(r[v]) is None),
            (f"{v}.p IS NOT NULL", lambda r: prop(r[v]) is not None),
            (f"{v}.p IN [1, 'x']", lambda r: None if prop(r[v]) is None else any(prop(r[v]) == x for x in (1, "x"))),
            (f"{v}:A", lambda r: type3(r[v], "A")),
            (f"size({v}.p) > 0", lambda r: gt3(sized(prop(r[v])))),
            (f"lower({v}.p) = 'x'", lambda r: eq3(prop(r[v]) if isinstance(prop(r[v]), str) else None, "x")),
            (f"coalesce({v}.q, {v}.p, 0) = {text}", lambda r: eq3(
                next((x for x in (prop(r[v], "q"), prop(r[v])) if x is not None), 0), value)),
            (f"type({v}) = 'A'", lambda r: None if r[v] is HOLE else str(
                r[v].term.type if isinstance(r[v], Edge) else r[v].type) == "A"),
            (f"{v} = {w}", lambda r: None if HOLE in (r[v], r[w]) else same(r[v]) == same(r[w])),
        ]
        return forms[draw(st.integers(0, len(forms) - 1))]

    def expr(depth):
        kind = draw(st.sampled_from(["atom", "atom", "not", "and", "or"] if depth < 2 else ["atom"]))
        if kind == "atom":
            return atom()
        if kind == "not":
            t, f = expr(depth + 1)
            return f"NOT ({t})", lambda r: not3(f(r))
        (lt, lf), (rt, rf) = expr(depth + 1), expr(depth + 1)
        if kind == "and":
            def both(r):
                a, b = lf(r), rf(r)
                return False if a is False or b is False else (None if a is None or b is None else True)
            return f"({lt}) AND ({rt})", both
        def either(r):
            a, b = lf(r), rf(r)
            return True if a is True or b is True else (None if a is None or b is None else False)
        return f"({lt}) OR ({rt})", either

    return expr(0)




def shown(v):
    """What identifies a value in a row: kind, uid or type, and the property dict it shares."""
    if isinstance(v, list):
        return tuple(shown(e) for e in v)
    if isinstance(v, Edge):
        return ("E", v.uid(), id(v.properties))
    return ("N", str(v.type), id(v.properties))


def same(v):
    """What makes two row values the same for return_distinct: kind and uid."""
    if isinstance(v, list):
        return tuple(e.uid() for e in v)
    return (type(v).__name__, v.uid())


# ---- strategies for the matches -------------------------------------------------------------

NODE_VARS = st.sampled_from(["a", "b", "c", "d", None])
EDGE_VARS = st.sampled_from(["r", "s", "t", "a", None])


def maybe(options, weight=2):
    """None `weight` times as often as all the options together."""
    return st.sampled_from([None] * (weight * len(options)) + list(options))


PROPS = st.sampled_from([{}] * (4 * len(VALUES)) + [{"p": v} for v in VALUES])
PLAIN_PROPS = st.sampled_from([{}] * (2 * len(PLAIN)) + [{"p": v} for v in PLAIN])


@st.composite
def paths(draw):
    hops = draw(st.integers(0, 3))
    nodes = [NodeP(draw(NODE_VARS), draw(maybe(sorted(TYPES))), draw(PROPS))
             for _ in range(hops + 1)]
    quants = st.sampled_from([None, None, None, (0, 1), (1, 2), (2, 2), (0, 2), (1, 3)])
    edges = [EdgeP(draw(EDGE_VARS), draw(st.sampled_from(["forward", "backward", "any"])), draw(quants),
                   draw(maybe(SCHEMAS)), draw(PROPS)) for _ in range(hops)]
    if sum(e.quant is not None for e in edges) > 1:  # keep the paths few enough to enumerate
        for e in edges[1:]:
            e.quant = None
    return PathShape(nodes, edges)


def node_forms():
    return st.builds(NodeForm, st.just("a"), maybe(list(TYPES.values())),
                     maybe(SCHEMAS), PLAIN_PROPS)


def edge_forms(terms):
    return st.builds(EdgeForm, st.sampled_from(["a", None]), st.sampled_from(["b", "a", None]),
                     maybe(terms, 1), maybe(SCHEMAS), PLAIN_PROPS)


# ---- the machine ----------------------------------------------------------------------------------


class Differential(RuleBasedStateMachine):
    @initialize(ends=st.lists(st.tuples(st.integers(0, 2), st.integers(0, 3)), min_size=3, max_size=8),
                props=st.lists(st.sampled_from(PLAIN), min_size=12, max_size=12))
    def setup(self, ends, props):
        self.g = Graph()
        self.pool = []  # end nodes for edges, stored or not
        self.terms = []
        self.saved = []  # (query, check) pairs run again after later edits
        for t, p in zip(TYPES.values(), props):
            self.add_node(t, "uid", {"p": p})
        for (i, j), p in zip(ends, props[4:]):
            self.add_edge(i, j, "uid", False, p)

    # -- edits through the dicts --

    def key_for(self, obj, how):
        return {"uid": obj.uid(), "sub": SubKey(obj.uid()), "alias": "alias", "fresh": f"x{len(self.pool)}"}[how]

    @rule(t=st.sampled_from(sorted(TYPES)), how=st.sampled_from(["uid", "uid", "uid", "sub", "alias"]),
          props=st.dictionaries(st.sampled_from(["p", "q"]), st.sampled_from(PLAIN), max_size=2))
    def add_node(self, t, how, props):
        n = Node(TYPES.get(t, t), props)
        self.g.nodes[self.key_for(n, how)] = n
        self.pool.append(n)

    @rule(i=st.integers(0, 99), j=st.integers(0, 99), how=st.sampled_from(["uid", "uid", "alias"]),
          odd_type=st.booleans(), p=st.sampled_from(PLAIN))
    def add_edge(self, i, j, how, odd_type, p):
        s, t = self.pool[i % len(self.pool)], self.pool[j % len(self.pool)]
        term = Term(f"f{len(self.terms)}", Application(C, C) if odd_type else Application(s.type, t.type))
        self.terms.append(term)
        e = Edge(term, s, t, {"p": p})
        self.g.edges[self.key_for(e, how)] = e

    @rule(which=st.sampled_from(["nodes", "edges"]), i=st.integers(0, 99),
          op=st.sampled_from(["del", "pop", "popitem", "update", "setdefault", "replace", "reinsert", "clear",
                              "props", "props replaced"]))
    def edit(self, which, i, op):
        d = getattr(self.g, which)
        if not d:
            return
        key = list(d)[i % len(d)]
        value = d[key]
        if op == "del":
            del d[key]
        elif op == "pop":
            d.pop(key)
        elif op == "popitem":
            d.popitem()
        elif op == "update":  # one value replaced, one entry moved to the end
            d.update({key: value, "moved": d.pop(key)})
        elif op == "setdefault":
            d.setdefault(key, None)
            d.setdefault("late", value)
        elif op == "replace":  # a new object under the same key
            d[key] = (Node(value.type, dict(value.properties)) if which == "nodes" else
                      Edge(value.term, value.start, value.end, dict(value.properties)))
        elif op == "reinsert":
            d[key] = d.pop(key)
        elif op == "clear":
            if i % 4 == 0:
                d.clear()
        elif op == "props":
            value.properties["p"] = [1] if value.properties.get("p") == 1 else 1
        else:
            value.properties = {"p": i % 2}

    @rule(n=st.integers(5, 40), t=st.sampled_from(sorted(TYPES)), drop=st.booleans())
    def grow(self, n, t, drop):
        """Many entries at once: the dict resizes, and after deletions compacts."""
        keys = []
        for _ in range(n):
            keys.append(f"x{len(self.pool)}")
            self.add_node(t, "fresh", {"p": 0})
        for k in keys[::2] if drop else []:
            del self.g.nodes[k]

    # -- edits through the engine, each against a model of the dicts --

    @rule(t=st.sampled_from(sorted(TYPES)), p=st.sampled_from(PLAIN),
          how=st.sampled_from(["create", "merge"]))
    def store_node(self, t, p, how):
        type_ = TYPES[t]
        uid = Node(type_).uid()
        before = list(self.g.nodes.items())
        found = [n for n in self.g.nodes.values() if n.type == type_ and fits(n.properties, {"p": p})]
        q = getattr(self.g.query(), how)(node="n", type=type_, properties={"p": p})
        (row,) = q.return_("n")
        if how == "merge" and found:
            assert list(self.g.nodes.items()) == before
            assert row["n"].properties is found[0].properties
            return
        keys = [k for k, _ in before]
        after = list(self.g.nodes.items())
        assert [k for k, _ in after] == keys + ([] if uid in keys else [uid])
        assert [(k, v) for k, v in after if k != uid] == [(k, v) for k, v in before if k != uid]
        made = self.g.nodes[uid]
        assert made.type == type_ and made.properties == {"p": p} and row["n"].properties is made.properties

    @rule(s=st.sampled_from(sorted(TYPES)), t=st.sampled_from(sorted(TYPES)), p=st.integers(0, 2))
    def store_edge(self, s, t, p):
        ends = [[n for n in self.g.nodes.values() if n.type == TYPES[x]] for x in (s, t)]
        term = Term(f"f{len(self.terms)}", Application(TYPES[s], TYPES[t]))
        self.terms.append(term)
        q = self.g.query().match(node="a", type=TYPES[s]).match(node="b", type=TYPES[t])
        q = q.create(edge="e", term=term, start="a", end="b", properties={"p": p})
        before = list(self.g.edges.items())
        try:
            q.execute()
        except NameError:
            assert not ends[0] or not ends[1]
            return
        key, made = list(self.g.edges.items())[-1]
        assert list(self.g.edges.items())[:-1] == before and key == made.uid()
        assert made.start.properties is ends[0][0].properties and made.end.properties is ends[1][0].properties

    @rule(t=st.sampled_from(sorted(TYPES)), detach=st.booleans(), p=st.integers(0, 2))
    def delete_or_set(self, t, detach, p):
        type_ = TYPES[t]
        uid = Node(type_).uid()
        found = [n for n in self.g.nodes.values() if n.type == type_]
        if p == 2:
            self.g.query().match(node="n", type=type_).set("n", {"p": p}).execute()
            assert all(n.properties["p"] is p for n in found)
            return
        nodes, edges = dict(self.g.nodes), dict(self.g.edges)
        self.g.query().match(node="n", type=type_).delete("n", detach=detach).execute()
        if found:
            nodes.pop(uid, None)
            if detach:
                edges = {k: e for k, e in edges.items() if uid not in (e.start.uid(), e.end.uid())}
        assert list(self.g.nodes.items()) == list(nodes.items())
        assert list(self.g.edges.items()) == list(edges.items())

    # -- runs against the oracle --

    @rule(data=st.data())
    def run(self, data):
        shape = data.draw(st.one_of(paths(), paths(), node_forms(), edge_forms(self.terms)))
        prefix = data.draw(st.sampled_from([None, *TYPES]))  # another binding, of its own length
        q = self.g.query()
        if prefix:
            q = q.match(node="m", type=TYPES[prefix])
        q = shape.build(q)
        names = sorted({n for n in shape.positions() if n})
        params = {}
        steps = []
        for kind in data.draw(st.lists(st.sampled_from(["where", "skip", "limit"]), max_size=3)):
            if kind == "where":
                usable = [n for n in names if not self.var_length(shape, n)] + (["m"] if prefix else [])
                if not usable:
                    continue
                text, test = data.draw(conditions(usable, params))
                q = q.where(text)
                steps.append(("where", test))
            else:
                k = data.draw(st.integers(0, 4))
                q = getattr(q, kind)(k)
                steps.append((kind, k))
        if params:
            q = q.parameters(**params)
        check = self.checker(shape, prefix, steps, names + (["m"] if prefix else []))
        check(q)
        self.saved.append((q, check))

    @rule(i=st.integers(0, 99))
    def rerun(self, i):
        if self.saved:
            q, check = self.saved[i % len(self.saved)]
            check(q)

    @staticmethod
    def var_length(shape, name):
        if not isinstance(shape, PathShape):
            return False
        last = max(i for i, n in enumerate(shape.positions()) if n == name)
        return last % 2 == 1 and shape.edges[last // 2].quant is not None

    def checker(self, shape, prefix, steps, names):
        def check(q):
            try:
                rows = shape.rows(self.g)
            except TooMany:
                return
            table = columns(shape, rows)
            if prefix:
                table["m"] = [n for n in self.g.nodes.values() if n.type == TYPES[prefix]]
            for kind, arg in steps:
                total = n_rows(table)
                if kind == "where":
                    kept = [i for i in range(total) if arg({n: value_at(table, n, i) for n in names}) is True]
                else:
                    kept = range(min(arg, total), total) if kind == "skip" else range(min(arg, total))
                table = keep(table, kept)
            expected = []
            for i in range(n_rows(table)):
                row = {n: value_at(table, n, i) for n in names}
                row = {n: v for n, v in row.items() if v is not HOLE}
                if row:
                    expected.append(row)
            got = q.return_(*names)
            assert [{n: shown(v) for n, v in r.items()} for r in got] == \
                [{n: shown(v) for n, v in r.items()} for r in expected]
            distinct, seen = [], set()
            for r in expected:
                key = frozenset((n, same(v)) for n, v in r.items())
                if key not in seen:
                    seen.add(key)
                    distinct.append(r)
            assert [{n: shown(v) for n, v in r.items()} for r in q.return_distinct(*names)] == \
                [{n: shown(v) for n, v in r.items()} for r in distinct]
            assert q.return_count() == n_rows(table)

        return check

    @invariant()
    def prints_its_counts(self):
        if hasattr(self, "g"):
            assert str(self.g) == f"Graph({len(self.g.nodes)} nodes, {len(self.g.edges)} edges)"


Differential.TestCase.settings = settings(max_examples=120, stateful_step_count=40, deadline=None)
test_engine_agrees_with_a_walk_of_the_dicts = Differential.TestCase


def test_streamed_count_keeps_the_rows_of_an_earlier_match():
    g = Graph()
    n = Node(A)
    g.nodes[n.uid()] = n
    q = g.query().match(node="m", type=A).match(node="a", type=B).where("a IS NULL").limit(1)
    assert len(q.return_("m")) == 1
    assert q.return_count() == 1


def test_edge_lists_are_the_same_when_their_edges_are():
    g = Graph()
    n = Node(A)
    g.nodes[n.uid()] = n
    e = Edge(Term("f", Application(A, A)), n, n)
    g.edges[e.uid()] = e
    g.edges["copy"] = Edge(e.term, n, n)  # another object of the same uid
    for text in ("(a)-[r]->(b)", "(a)-[r*1..1]->(b)"):
        q = g.query().match(text)
        assert len(q.return_distinct("r")) == 1
        assert q.return_("count(DISTINCT r)") == [{"count(DISTINCT r)": 1}]


# ---- counting only ----------------------------------------------------------------------------------

QUEUE_OPS = st.sampled_from([
    ("match", "(a)-[e]->(b)"), ("match", "(a:A)-[e*1..2]-(b)"), ("match", "(m:A)"), ("match", "(m)"),
    ("match", "(b:B)<-[f]-(c)"), ("where", "a.p = 1"), ("where", "m IS NULL"), ("where", "true"),
    ("where", "b.p IS NULL OR c IS NULL"), ("skip", 1), ("limit", 1), ("limit", 3), ("order_by", "a"),
    ("with_", "a"), ("with_", "m"), ("merge", "m"), ("delete", "c"),
])



@settings(max_examples=400, deadline=None)
@given(ops=st.lists(QUEUE_OPS, max_size=6), ends=st.lists(st.tuples(st.integers(0, 2), st.integers(0, 2)),
                                                          max_size=6))
def test_a_count_is_the_number_of_rows_a_run_leaves(ops, ends):
    """return_count may skip making the values nothing reads; it must count what a run that reads every
    variable leaves."""

    def build(g):
        q = g.query()
        for kind, arg in ops:
            q = {"match": lambda: q.match(arg), "where": lambda: q.where(arg), "skip": lambda: q.skip(arg),
                 "limit": lambda: q.limit(arg), "order_by": lambda: q.order_by(arg, "p"),
                 "with_": lambda: q.with_(arg, "b"), "merge": lambda: q.merge(node=arg, type=A),
                 "delete": lambda: q.delete(arg)}[kind]()
        return q

    def outcome(read_all):
        g = Graph()
        nodes = [Node(t, {"p": i % 2}) for i, t in enumerate((A, B, C))]
        for n in nodes:
            g.nodes[n.uid()] = n
        for i, (s, t) in enumerate(ends):
            e = Edge(Term(f"f{i}", Application(nodes[s].type, nodes[t].type)), nodes[s], nodes[t], {"p": i % 2})
            g.edges[e.uid()] = e
        q = build(g)
        if read_all:
            for name in "abcefm":
                q = q.set(name, {})
        try:
            return q.return_count(), q.return_count()
        except NameError as e:
            return str(e)

    assert outcome(False) == outcome(True)
