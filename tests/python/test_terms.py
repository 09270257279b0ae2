import pytest

from quorvel import Application, Term, Variable

from conftest import sha


@pytest.fixture
def f(A, B):
    return Term("f", Application(A, B))


@pytest.fixture
def x(A):
    return Term("x", A)


def test_application_builds_result(f, x, B):
    r = f(x)
    assert r.name == "(f x)"
    assert str(r) == "(f x):B"
    assert repr(r) == 'Term("(f x)", B)'
    assert r.type == B
    assert f(other=x) == r
    assert str(f) == "f:(A -> B)" and repr(f) == 'Term("f", (A -> B))'


def test_application_mismatches(f, x, B):
    with pytest.raises(TypeError, match=r"^Type mismatch: expected A, got B \(in function application\)$"):
        f(Term("y", B))
    with pytest.raises(TypeError, match=r"^Type mismatch: expected application type \(A -> B\), got A \(in term application\)$"):
        x(x)
    # The argument is not looked at when the function is not a function.
    with pytest.raises(TypeError, match="term application"):
        x(Term("z", Application(B, B)))


@pytest.mark.parametrize("bad", [1, "x", None, Variable("A")])
def test_application_refuses_non_terms(f, bad):
    with pytest.raises(TypeError, match="other"):
        f(bad)


def test_curried_application(A, B, C):
    f = Term("f", Application(A, Application(B, C)))
    r = f(Term("x", A))(Term("y", B))
    assert r.name == "((f x) y)" and r.type == C


def test_structural_input_match(A, B):
    g = Term("g", Application(Application(A, B), B))
    h = Term("h", Application(A, B))
    assert g(h).type == B


def test_equality_hash_uid(A, B):
    assert Term("x", A) == Term("x", Variable("A"))
    assert hash(Term("x", A)) == hash(Term("x", Variable("A")))
    assert Term("x", A) != Term("y", A)
    assert Term("x", A) != Term("x", B)
    assert (Term("x", A) == "x") is False
    assert Term("x", A).uid() == sha("term:x:" + A.uid())
    with pytest.raises(TypeError):
        Term("x", A) < Term("y", A)  # noqa: B015


def test_type_getter_and_name_setter(f):
    assert f.type is not f.type and f.type == f.type
    old = f.uid()
    f.name = "g"
    assert f.name == "g" and f.uid() != old and str(f) == "g:(A -> B)"
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del f.name
    with pytest.raises(TypeError, match="name"):
        f.name = b"g"
    with pytest.raises(AttributeError):
        f.type = Variable("Q")


def test_constructor_refusals(A):
    with pytest.raises(TypeError, match="^Expected Variable or Application$"):
        Term("f", "A")
    with pytest.raises(TypeError, match="name"):
        Term(1, A)
    with pytest.raises(TypeError):
        Term("f")
