import pytest
from hypothesis import given, settings, strategies as st

from quorvel import Application, TypeSchema, Variable

# The White_Space set the matcher trims by; str.strip() would also remove
# U+001C..U+001F, which must stay.
WHITE_SPACE = [chr(c) for c in [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                0x2028, 0x2029, 0x202F, 0x205F, 0x3000]]
NOT_WHITE_SPACE = ["\x1c", "\x1d", "\x1e", "\x1f", "\u200b", "\u180e", "\ufeff"]


def ty(x):
    """'A' -> Variable("A"); (l, r) -> Application(l, r)."""
    if isinstance(x, str):
        return Variable(x)
    return Application(ty(x[0]), ty(x[1]))


AB = ("A", "B")


@pytest.mark.parametrize("pattern, t, expected", [
    ("$*$", "A", True), ("$*$", (AB, "C"), True), (" $*$ ", "A", True),
    ("*", "A", False), ("*", "*", True), ("$ * $", "*", False), ("$ * $", " * ", True),
    ("$Person$", "Person", True), ("$Person$", "person", False), ("$Person$", ("Person", "Person"), False),
    ("$Person$ ", "Person", True), ("Person", "Person", True), ("$ Person $", "Person", False),
    ("$ A $", " A ", True),
    ("$A -> B$", AB, True), ("A->B", AB, True), ("$A -> B$", ("B", "A"), False), ("$A -> B$", "A", False),
    ("$A -> B -> C$", ("A", ("B", "C")), True), ("$A -> B -> C$", (AB, "C"), False),
    ("$* -> *$", AB, True), ("$* -> *$", (AB, AB), True), ("$* -> *$", "A", False),
    ("$(f:A -> B) -> C$", (AB, "C"), True),
    ("$(A -> B) -> C$", (AB, "C"), False),
    ("$(x:*) -> $(y:*)$", AB, False), ("$(x:*) -> (y:*)$", AB, False),
    ("$ (x:*) -> (y:*) $", AB, True), ("$(x:*) -> B$", AB, True), ("$A -> (y:*)$", AB, True),
    ("$(Person)$", "Person", False), ("$(Person)$", "$(Person)$", False),
    ("$ (A -> B) $", AB, False), ("(A -> B)", AB, True), ("(A) -> (B)", AB, False),
    ("", "", True), ("", "A", False), ("   ", "", True), ("$$", "", True), ("$$", "$$", False),
    ("$", "", False), ("$", "$", False),
    ("$a:b$", "$a:b$", True), ("$a:b$", "a:b", False), ("$Per(son$", "$Per(son$", True),
    ("$A -> $B$$", ("A", "$B$"), True), ("$A -> $B$$", AB, False),
    ("A -> B ->", AB, False), ("->", AB, False),
])
def test_forms(pattern, t, expected):
    assert TypeSchema(pattern).matches(ty(t)) is expected


@pytest.mark.parametrize("ws", WHITE_SPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_trims_unicode_white_space(ws):
    assert TypeSchema(ws + "$A$" + ws).matches(Variable("A"))
    assert TypeSchema(ws + "A -> B" + ws).matches(ty(AB))
    # The name inside the dollars is not trimmed.
    assert not TypeSchema("$" + ws + "A$").matches(Variable("A"))


@pytest.mark.parametrize("c", NOT_WHITE_SPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_other_characters_are_not_trimmed(c):
    s = TypeSchema(c + "$A$")
    assert not s.matches(Variable("A"))
    assert s.matches(Variable(c + "$A$"))


@pytest.mark.parametrize("pattern, t, expected", [
    ("$(x:*)$", "A", {"x": "A"}),
    ("$(x:*)$", AB, {"x": AB}),
    ("$(x:A)$", "B", {}),
    ("$(f:A -> B) -> C$", (AB, "C"), {"f": AB}),
    ("$ (x:*) -> (y:*) $", AB, {"x": "A", "y": "B"}),
    ("$(x:*) -> $(y:*)$", AB, {}),
    ("$(:*)$", "A", {"": "A"}),
    ("$( my name : * )$", "A", {"my name": "A"}),
    # A capture made on the left of a failing arrow is not reported.
    ("$ (x:*) -> (y:A) $", AB, {}),
    # Later insertions win: the group after its inner captures, right after left.
    ("$(x:(x:*) -> *)$", AB, {"x": AB}),
    ("$ (x:*) -> (x:*) $", AB, {"x": "B"}),
    ("$*$", "A", {}),
])
def test_capture(pattern, t, expected):
    got = TypeSchema(pattern).capture(ty(t))
    assert got == {k: ty(v) for k, v in expected.items()}
    for k, v in got.items():
        assert type(v) is type(ty(expected[k]))


def test_capture_returns_fresh_objects():
    s = TypeSchema("$(x:*)$")
    a = Variable("A")
    got = s.capture(a)["x"]
    assert got == a and got is not a
    assert s.capture(a) is not s.capture(a)


def test_pattern_and_printed_forms():
    s = TypeSchema(" $A -> B$\t")
    assert s.pattern == " $A -> B$\t"
    assert str(TypeSchema("$A$")) == repr(TypeSchema("$A$")) == 'TypeSchema("$A$")'
    assert repr(TypeSchema('a"b')) == 'TypeSchema("a"b")'
    with pytest.raises(AttributeError):
        s.pattern = "x"


def test_signatures():
    assert TypeSchema.__text_signature__ == "(pattern)"
    assert TypeSchema.matches.__text_signature__ == "($self, type)"
    assert TypeSchema.capture.__text_signature__ == "($self, type)"


def test_keywords():
    a = Variable("A")
    assert TypeSchema(pattern="$A$").matches(type=a)
    assert TypeSchema("$(x:*)$").capture(type=a) == {"x": a}


@pytest.mark.parametrize("call, message", [
    (lambda: TypeSchema(5), "argument 'pattern'"),
    (lambda: TypeSchema(), "pattern"),
    (lambda: TypeSchema("$A$").matches("A"), "^Expected Variable or Application$"),
    (lambda: TypeSchema("$A$").capture(None), "^Expected Variable or Application$"),
    (lambda: TypeSchema("$A$").matches(), "type"),
])
def test_refusals(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_deep_patterns_do_not_exhaust_the_stack():
    n = 200_000
    assert TypeSchema("$" + "(x:" * n + "*" + ")" * n + "$").capture(Variable("A")) == {"x": Variable("A")}
    t = Variable("A")
    for _ in range(n):
        t = Application(Variable("A"), t)
    assert TypeSchema("A -> " * n + "A").matches(t)
    assert not TypeSchema("A -> " * n + "B").matches(t)


# ---- an independent reading of the language, straight from its rules -------

def _trim(s):
    i, j = 0, len(s)
    while i < j and s[i] in WHITE_SPACE:
        i += 1
    while j > i and s[j - 1] in WHITE_SPACE:
        j -= 1
    return s[i:j]


def oracle(text, t, caps):
    p = _trim(text)
    if p == "$*$":
        return True
    if p.startswith("$") and p.endswith("$") and "->" not in p and ":" not in p and "(" not in p:
        return len(p) >= 2 and isinstance(t, Variable) and t.name == p[1:-1]
    if p.startswith("$(") and p.endswith(")$"):
        c = p[2:-2]
        k = c.find(":")
        if k < 0:
            return False
        if oracle("$" + _trim(c[k + 1:]) + "$", t, caps):
            caps[_trim(c[:k])] = t
            return True
        return False
    if "->" not in p:
        return isinstance(t, Variable) and t.name == p
    if p.startswith("$") and p.endswith("$"):
        p = p[1:-1]
    if p.startswith("(") and p.endswith(")"):
        p = p[1:-1]
    depth, split = 0, -1
    for i, ch in enumerate(p):
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        elif ch == "-" and depth == 0 and p[i + 1:i + 2] == ">":
            split = i
            break
    if split < 0 or isinstance(t, Variable):
        return False
    return (oracle("$" + _trim(p[:split]) + "$", t.left, caps)
            and oracle("$" + _trim(p[split + 2:]) + "$", t.right, caps))


names = st.sampled_from(["A", "B", "*", "", " A ", "$B$", "x:A"])
types = st.recursive(names.map(Variable), lambda c: st.builds(Application, c, c), max_leaves=6)
atoms = st.sampled_from(["*", "A", "B", "$*$", "$A$", "", " ", "x", "\u3000", "$"])
structured = st.recursive(
    atoms,
    lambda c: st.one_of(
        st.builds(lambda l, r: f"{l} -> {r}", c, c),
        c.map(lambda x: f"({x})"),
        st.builds(lambda n, x: f"({n}:{x})", st.sampled_from(["x", "y", " x ", ""]), c),
        c.map(lambda x: f"${x}$"),
        c.map(lambda x: f" {x}\t"),
    ),
    max_leaves=8,
)
patterns = st.one_of(structured, st.text(alphabet="$*()->: ABx\u3000", max_size=24))


@settings(max_examples=600, deadline=None)
@given(patterns, types)
def test_agrees_with_the_rules(pattern, t):
    s = TypeSchema(pattern)
    caps = {}
    expected = oracle(pattern, t, caps)
    m = s.matches(t)
    got = s.capture(t)
    assert type(m) is bool and type(got) is dict
    assert m is expected
    assert got == (caps if expected else {})
