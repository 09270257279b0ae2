"""Every row of the bad input catalogue holds for the built module, and the
catalogue in docs/errors.md is the one the table renders."""

import pytest

import bad_inputs

ROWS = [(entry, *row) for entry, rows in bad_inputs.TABLE.items() for row in rows]


@pytest.fixture(scope="module")
def names():
    return bad_inputs.namespace()


@pytest.mark.parametrize("entry, code, kind, message", ROWS, ids=[row[1][:60] for row in ROWS])
def test_row_holds(names, entry, code, kind, message):
    got_kind, got_message = bad_inputs.outcome(code, names)
    assert got_kind == kind, got_message
    if kind == "none":
        return
    if message.startswith("..."):
        assert got_message.endswith(message[3:])
    else:
        assert got_message == message


def test_every_class_has_rows():
    import quorvel

    covered = " ".join(code for _, code, _, _ in ROWS)
    for name in quorvel.__all__:
        assert f"{name}(" in covered or f"{name}." in covered, name


def test_page_holds_the_rendered_table():
    text = bad_inputs.PAGE.read_text(encoding="utf-8")
    start, end = bad_inputs.page_section(text)
    assert start is not None, "docs/errors.md has no bad input section; run bad_inputs.py --write"
    assert text[start:end].rstrip("\n") == bad_inputs.render().rstrip("\n"), (
        "docs/errors.md is stale; run PYTHONPATH=build python3 tests/python/bad_inputs.py --write")
