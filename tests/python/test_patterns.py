import collections
import gc
import os
import re
import subprocess
import sys
import unicodedata

import pytest
from hypothesis import given, settings, strategies as st

from quorvel import Application, EdgePattern, NodePattern, PathPattern, Term, TypeSchema, Variable

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


# ---- NodePattern and EdgePattern ---------------------------------------------

@pytest.mark.parametrize("variable, shown", [
    (None, "None"),
    ("n", 'Some("n")'),
    ('a"b', r'Some("a\"b")'),
    ("a\\b", r'Some("a\\b")'),
    ("\t\r\n\0", r'Some("\t\r\n\0")'),
    ("it's", 'Some("it\'s")'),
    ("", 'Some("")'),
    ("a b", 'Some("a b")'),
    ("é λ 💡", 'Some("é λ 💡")'),
    ("e\u0301", r'Some("e\u{301}")'),      # combining mark (Mn)
    ("\u20dd", r'Some("\u{20dd}")'),       # enclosing mark (Me)
    ("\u09be", r'Some("\u{9be}")'),        # spacing mark that extends a grapheme
    ("\uff9e", r'Some("\u{ff9e}")'),       # printable letter that extends a grapheme
    ("\x1b\x7f\x85", r'Some("\u{1b}\u{7f}\u{85}")'),
    ("\xa0\u3000\u2028", r'Some("\u{a0}\u{3000}\u{2028}")'),
    ("\u200b\U000e0041", r'Some("\u{200b}\u{e0041}")'),
    ("\ue000\U0010ffff\u0378", r'Some("\u{e000}\u{10ffff}\u{378}")'),
])
def test_tagged_variable_in_repr(variable, shown):
    assert repr(NodePattern(variable)) == f"NodePattern(variable={shown})"
    assert str(NodePattern(variable)) == repr(NodePattern(variable))
    assert repr(EdgePattern(variable)) == f"EdgePattern(variable={shown}, direction=forward)"


def test_edge_direction():
    assert EdgePattern().direction == "forward"
    e = EdgePattern("e", direction="sideways")
    assert e.direction == "sideways" and e.variable == "e"
    assert repr(e) == 'EdgePattern(variable=Some("e"), direction=sideways)'
    assert repr(EdgePattern(direction='a"b')) == 'EdgePattern(variable=None, direction=a"b)'


@pytest.mark.parametrize("obj, attr", [
    (NodePattern("n"), "variable"), (EdgePattern("e"), "variable"), (EdgePattern(), "direction"),
])
def test_attributes_are_read_only(obj, attr):
    with pytest.raises(AttributeError):
        setattr(obj, attr, "x")
    with pytest.raises(AttributeError):
        delattr(obj, attr)


class Key(str):
    pass


def test_accepted_arguments(A, B):
    t = Term("f", Application(A, B))
    for p in [
        NodePattern("n", A, "$A$", {"a": 1}),
        NodePattern(variable=None, type=None, type_schema=None, properties=None),
        NodePattern(type=Application(A, B), type_schema=TypeSchema("$*$")),
        NodePattern(type_schema=5),
        NodePattern(properties=collections.OrderedDict(a=1)),
        NodePattern(properties=collections.defaultdict(int, a=1)),
        NodePattern(properties={Key("k"): [1]}),
    ]:
        assert isinstance(p, NodePattern)
    assert NodePattern("n", A).variable == "n"
    assert NodePattern().variable is None
    e = EdgePattern("e", t, "$A -> B$", {"w": 1}, "any")
    assert (e.variable, e.direction) == ("e", "any")
    assert EdgePattern(term_type_schema=object(), term=None).direction == "forward"


@pytest.mark.parametrize("call, exc, message", [
    (lambda: NodePattern(5), TypeError, "argument 'variable'"),
    (lambda: NodePattern(type=5), TypeError, "^Expected Variable or Application$"),
    (lambda: NodePattern(type="A"), TypeError, "^Expected Variable or Application$"),
    (lambda: NodePattern(properties={1: "x"}), TypeError, "str"),
    (lambda: NodePattern(properties=[("a", 1)]), TypeError, "argument 'properties'"),
    (lambda: NodePattern(1, 2, 3, 4, 5), TypeError, "positional"),
    (lambda: NodePattern(types=1), TypeError, "types"),
    (lambda: NodePattern("\ud800"), UnicodeEncodeError, ""),
    (lambda: NodePattern(properties={"\udc80": 1}), UnicodeEncodeError, ""),
    (lambda: EdgePattern(5), TypeError, "argument 'variable'"),
    (lambda: EdgePattern(direction=None), TypeError, "argument 'direction'"),
    (lambda: EdgePattern(direction=5), TypeError, "argument 'direction'"),
    (lambda: EdgePattern(properties=5), TypeError, "argument 'properties'"),
    (lambda: EdgePattern(properties={2: 1}), TypeError, "str"),
    # Conversion order: variable, properties, direction, type/term, schema, keys.
    (lambda: NodePattern(variable=5, properties=5), TypeError, "'variable'"),
    (lambda: NodePattern(type=5, properties=5), TypeError, "'properties'"),
    (lambda: NodePattern(type=5, properties={1: 2}), TypeError, "^Expected Variable or Application$"),
    (lambda: EdgePattern(properties=5, direction=None), TypeError, "'properties'"),
    (lambda: EdgePattern(direction=None, term=5), TypeError, "'direction'"),
    (lambda: EdgePattern(term=5, properties={1: 2}), TypeError, "Term"),
])
def test_refusals(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


@pytest.mark.parametrize("bad", ["f", 5, Variable("A")])
def test_term_refusal_does_not_name_the_argument(bad):
    with pytest.raises(TypeError) as info:
        EdgePattern(term=bad)
    assert "Term" in str(info.value) and "argument" not in str(info.value)


def test_signatures():
    assert NodePattern.__text_signature__ == "(variable=None, type=..., type_schema=None, properties=None)"
    assert EdgePattern.__text_signature__ == (
        "(variable=None, term=None, term_type_schema=None, properties=None, direction=...)")
    assert PathPattern.__text_signature__ == "(pattern=None)"
    assert PathPattern.parse.__text_signature__ == "(pattern)"
    assert PathPattern.add_node.__text_signature__ == "($self, pattern)"
    assert PathPattern.add_edge.__text_signature__ == "($self, pattern)"


class Finalized:
    def __init__(self, flag):
        self.flag = flag

    def __del__(self):
        self.flag.append(True)


@pytest.mark.parametrize("make", [
    lambda props: NodePattern(properties=props),
    lambda props: EdgePattern(properties=props),
    lambda props: PathPattern().add_node(NodePattern(properties=props)),
    lambda props: PathPattern().add_edge(EdgePattern(properties=props)),
])
def test_cycles_through_property_values_are_collected(make):
    flag = []
    holder = [Finalized(flag)]
    obj = make({"k": holder})
    holder.append(obj)
    del obj, holder
    gc.collect()
    assert flag == [True]


# ---- PathPattern ---------------------------------------------------------------

def shape(p):
    return [n.variable for n in p.nodes], [(e.variable, e.direction) for e in p.edges]


@pytest.mark.parametrize("text, nodes, edges", [
    ("(n)", ["n"], []),
    ("  (n)  ", ["n"], []),
    ("()", [None], []),
    ("(:Person)", [None], []),
    ("(n:)", ["n"], []),
    ("(n:$*$)", ["n"], []),
    ("(n:(A -> B) -> C)", ["n"], []),
    ("(n:Person {age: 30})", ["n"], []),
    (" ( a b : X ) ", ["a b"], []),
    ("(a)-[e]->(b)", ["a", "b"], [("e", "forward")]),
    ("(a)-[e]-(b)", ["a", "b"], [("e", "any")]),
    ("(a)-[e]>(b)", ["a", "b"], [("e", "forward")]),
    ("(a)<[e]-(b)", ["a", "b"], [("e", "backward")]),
    ("(a)<[e](b)", ["a", "b"], [("e", "any")]),
    ("(a)[e](b)", ["a", "b"], [("e", "any")]),
    ("(a)-[]->(b)", ["a", "b"], [(None, "forward")]),
    ("(a)-[:knows]->(b)", ["a", "b"], [(None, "forward")]),
    ("(a) - [ e ] -> (b)", ["a", "b"], [("e", "forward")]),
    ("(a)\t-[e]->\r\n(b)", ["a", "b"], [("e", "forward")]),
    ("(a:A)-[r1]->(b:B)<-[r2]-(c:C)", ["a", "b", "c"], [("r1", "forward"), ("r2", "backward")]),
    ("(a)(b)", ["a", "b"], []),
    ("-[e]->(a)(b)", ["a", "b"], [("e", "forward")]),
    ("(a)-[e:(A -> B) -> C]->(b)", ["a", "b"], [("e", "forward")]),
    # The direction reads the connector around its brackets, never what they hold.
    ("(a)-[e:(f:(A -> B)) -> C]-(b)", ["a", "b"], [("e", "any")]),
    ("(a)-[e:A -> B]-(b)", ["a", "b"], [("e", "any")]),
    ("(a)<-[e:A -> B]-(b)", ["a", "b"], [("e", "backward")]),
    ("(a)-[e:(A -> B)]-(b)", ["a", "b"], [("e", "any")]),
    ("(a)<[e {k: -1}](b)", ["a", "b"], [("e", "any")]),
    ("(a)<-[e {s: '->'}]-(b)", ["a", "b"], [("e", "backward")]),
])
def test_parse(text, nodes, edges):
    for p in (PathPattern.parse(text), PathPattern(text), PathPattern.parse(pattern=text)):
        assert shape(p) == (nodes, edges)
        assert repr(p) == f"PathPattern({len(nodes)} nodes, {len(edges)} edges)"


@pytest.mark.parametrize("text, pattern, reason", [
    ("", "", "Pattern cannot be empty"),
    ("   ", "", "Pattern cannot be empty"),
    ("\u3000\n", "", "Pattern cannot be empty"),
    ("(a)<-[e]->(b)", "<-[e]->", "Cannot have both <- and -> in same edge"),
    ("(a)<-[e {k: 1}]->(b)", "<-[e {k: 1}]->", "Cannot have both <- and -> in same edge"),
    ("(a)-(b)", "-", "Edge pattern must contain brackets"),
    ("(a)->(b)", "->", "Edge pattern must contain brackets"),
    ("(a)-[e->(b)", "(a)-[e->(b)", "Unmatched brackets in pattern"),
    ("(a)-][->(b)", "-][->", "Brackets are mismatched"),
    ("(a) x (b)", "(a) x (b)", "Unexpected character 'x' outside of node or edge pattern"),
    ("(a)\xa0(b)", "(a)\xa0(b)", "Unexpected character '\xa0' outside of node or edge pattern"),
    ("(a)\x0b(b)", "(a)\x0b(b)", "Unexpected character '\x0b' outside of node or edge pattern"),
    ("(a)é(b)", "(a)é(b)", "Unexpected character 'é' outside of node or edge pattern"),
    (" (a", "(a", "Unmatched parentheses in pattern"),
    ("(a))", "(a))", "Unmatched parentheses in pattern"),
    ("(a)-[e:(A]->(b)", "(a)-[e:(A]->(b)", "Unmatched parentheses in pattern"),
    ("(a)-[e", "(a)-[e", "Unmatched brackets in pattern"),
    ("(a)-[e]-> ", "(a)-[e]->", "Pattern cannot end with an edge"),
    ("-[e]->(a)", "-[e]->(a)", "Invalid pattern: too many edges for the number of nodes"),
    (")(", ")(", "Pattern must contain at least one node"),
])
def test_parse_errors(text, pattern, reason):
    message = f"Invalid pattern '{pattern}': {reason}"
    for parse in (PathPattern.parse, PathPattern):
        with pytest.raises(ValueError) as info:
            parse(text)
        assert str(info.value) == message
        assert type(info.value) is ValueError


@pytest.mark.parametrize("call, message", [
    (lambda: PathPattern(5), "argument 'pattern'"),
    (lambda: PathPattern.parse(None), "argument 'pattern'"),
    (lambda: PathPattern.parse(), "pattern"),
    (lambda: PathPattern().add_node(EdgePattern()), "argument 'pattern'"),
    (lambda: PathPattern().add_edge(NodePattern()), "argument 'pattern'"),
    (lambda: PathPattern().add_node(), "pattern"),
])
def test_path_refusals(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_empty_path():
    for p in (PathPattern(), PathPattern(None), PathPattern(pattern=None)):
        assert repr(p) == str(p) == "PathPattern(0 nodes, 0 edges)"
        assert p.nodes == [] and p.edges == []


def test_add_changes_self_and_returns_a_clone():
    p = PathPattern()
    q = p.add_node(NodePattern("a")).add_node(NodePattern("b"))
    assert shape(p) == (["a"], [])
    assert shape(q) == (["a", "b"], [])
    r = p.add_edge(EdgePattern("e", direction="any"))
    assert shape(p) == shape(r) == (["a"], [("e", "any")])
    r.add_node(NodePattern("c"))
    assert shape(p) == (["a"], [("e", "any")])
    assert p is not r and type(r) is PathPattern
    assert repr(PathPattern().add_edge(pattern=EdgePattern())) == "PathPattern(0 nodes, 1 edges)"


def test_getters_return_fresh_copies():
    p = PathPattern("(a)-[e]->(b)")
    assert p.nodes is not p.nodes and p.nodes[0] is not p.nodes[0]
    nodes = p.nodes
    nodes.clear()
    p.edges.append(EdgePattern())
    assert shape(p) == (["a", "b"], [("e", "forward")])
    n = NodePattern("x")
    p.add_node(n)
    del n
    assert p.nodes[2].variable == "x"


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="collections run inside allocations only before 3.12")
@pytest.mark.parametrize("read", [lambda p: p.nodes, lambda p: p.edges])
def test_reentrant_add_while_reading_is_refused(read):
    p = PathPattern("(a)-[e]->(b)")
    seen = []

    class Intruder:
        def __del__(self):
            try:
                p.add_node(NodePattern("x"))
                seen.append("added")
            except RuntimeError as e:
                seen.append(str(e))

    old = gc.get_threshold()
    gc.collect()
    try:
        junk = Intruder()
        junk.cycle = junk
        del junk
        gc.set_threshold(1)
        read(p)
    finally:
        gc.set_threshold(*old)
    gc.collect()
    assert seen == ["PathPattern object is already in use"]
    assert repr(p) == "PathPattern(2 nodes, 1 edges)"


SPECIALS = "()[]-<>:{}$ "


@settings(max_examples=1000, deadline=None)
@given(st.text(alphabet=SPECIALS + "abAB\t\xa0", max_size=30))
def test_parse_fails_only_with_value_error(text):
    try:
        p = PathPattern.parse(text)
    except ValueError as e:
        assert re.fullmatch(r"Invalid pattern '.*': .+", str(e), re.S)
    else:
        nodes, edges = len(p.nodes), len(p.edges)
        assert nodes >= 1 and edges < nodes
        assert all(e.direction in ("forward", "backward", "any") for e in p.edges)


def test_unicode_tables_are_current(tmp_path):
    header = os.path.join(ROOT, "src", "text", "unicode_tables.hpp")
    with open(header, encoding="utf-8") as f:
        checked_in = f.read()
    if f"Unicode {unicodedata.unidata_version};" not in checked_in.splitlines()[0]:
        pytest.skip("tables were generated for another Unicode version")
    out = tmp_path / "tables.hpp"
    subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "gen_unicode_tables.py"), str(out)], check=True)
    assert out.read_text(encoding="utf-8") == checked_in


# ---- The parser against a plain reading of the rules ------------------------------

sys.path.insert(0, os.path.join(ROOT, "bench"))
from pattern_reader import read_path  # noqa: E402

NODES = st.text(alphabet="ab:$*-> []", max_size=6).map(lambda inner: f"({inner})")
INNER = st.lists(st.one_of(st.sampled_from(["(A -> B)", "e:", "*", "..", "$"]), st.text(alphabet="e:*.12-<>A ", max_size=3)),
                 max_size=4).map("".join)
EDGES = st.builds("{}[{}]{}".format, st.sampled_from(["", "-", "<-", "<", " - ", "--"]), INNER,
                  st.sampled_from(["", "-", "->", ">", "- >"]))
PATHS = st.tuples(NODES, st.lists(st.tuples(EDGES, NODES), max_size=3)).map(
    lambda p: p[0] + "".join(e + n for e, n in p[1]))
JUNK = st.lists(st.one_of(NODES, EDGES, st.text(alphabet="()[]-<>:*.$ 1e\t\u3000\xa0", max_size=4)),
                max_size=6).map("".join)


@settings(max_examples=3000, deadline=None)
@given(st.one_of(PATHS, JUNK))
def test_parse_agrees_with_a_plain_reading_of_the_rules(text):
    try:
        expected = read_path(text)
    except ValueError as e:
        with pytest.raises(ValueError) as info:
            PathPattern.parse(text)
        assert str(info.value) == str(e)
        return
    p = PathPattern.parse(text)
    nodes, edges = expected
    assert [n.variable for n in p.nodes] == [v for v, _ in nodes]
    assert [(e.variable, e.direction) for e in p.edges] == [(v, d) for v, _, d, _ in edges]


def test_parameters_in_maps_survive_copies_and_collection():
    p = PathPattern("(n {name: $who, age: [3]})-[e {w: $w}]->(m {})")
    nodes, edges = p.nodes, p.edges
    copy = p.add_node(nodes[0])
    del p
    gc.collect()
    assert [n.variable for n in copy.nodes] == ["n", "m", "n"] and edges[0].variable == "e"
    del copy, nodes, edges
    gc.collect()
