"""The documentation runs: every ```python block of README.md and docs/*.md is
executed, each file's blocks in order in one namespace, and the example table
of the type schema page holds for the built module."""

import re
from pathlib import Path

import pytest

import quorvel

ROOT = Path(__file__).resolve().parents[2]
DOC_FILES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]

FENCE = re.compile(r"^```([^\n`]*)\n(.*?)^```[ \t]*$", re.M | re.S)
# Fences the docs may use: python runs, the others are illustrations.
KNOWN_LANGUAGES = {"python", "text", "sh"}


def fenced_blocks(path):
    """(language, first line number, code) of every fenced block in a file."""
    text = path.read_text(encoding="utf-8")
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start(2)) + 1
        yield match.group(1).strip(), line, match.group(2)


def test_docs_are_found():
    names = {path.name for path in DOC_FILES}
    assert {"README.md", "concepts.md", "type-schemas.md", "path-patterns.md",
            "queries.md", "saving.md", "errors.md"} <= names


@pytest.mark.parametrize("path", DOC_FILES, ids=lambda path: path.name)
def test_fences_name_a_known_language(path):
    # A misspelt fence (```pyhton) would silently escape execution.
    languages = [language for language, _, _ in fenced_blocks(path)]
    assert set(languages) <= KNOWN_LANGUAGES, languages


@pytest.mark.parametrize("path", DOC_FILES, ids=lambda path: path.name)
def test_python_blocks_run(path):
    namespace = {"__name__": "doc_" + path.stem.replace("-", "_")}
    for language, line, code in fenced_blocks(path):
        if language != "python":
            continue
        # Leading blank lines make tracebacks point at the line in the file.
        exec(compile("\n" * (line - 1) + code, str(path), "exec"), namespace)


def prose(path):
    """The text of a file without its code: fenced blocks and inline spans."""
    text = FENCE.sub("", path.read_text(encoding="utf-8"))
    return re.sub(r"`[^`\n]*`", "", text)


def heading_anchors(path):
    """The anchors a renderer makes of a file's headings."""
    anchors = set()
    for heading in re.findall(r"^#+ (.*)$", FENCE.sub("", path.read_text(encoding="utf-8")), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower().replace("`", ""))
        anchors.add(slug.replace(" ", "-"))
    return anchors


@pytest.mark.parametrize("path", DOC_FILES, ids=lambda path: path.name)
def test_relative_links_resolve(path):
    for target, anchor in re.findall(r"\]\(([^)#\s]*)(?:#([^)\s]*))?\)", prose(path)):
        if "://" in target:
            continue
        linked = path.parent / target if target else path
        assert linked.exists(), f"{path.name} links to missing {target}"
        if anchor:
            assert anchor in heading_anchors(linked), f"{path.name} links to missing #{anchor}"


# The type schema example table.

def parse_type(text):
    """A type from its printed form: names, and '(' left ' -> ' right ')'."""
    tokens = re.findall(r"\(|\)|->|[^\s()]+", text)
    position = 0

    def take():
        nonlocal position
        token = tokens[position]
        position += 1
        return token

    def parse():
        token = take()
        if token != "(":
            return quorvel.Variable(token)
        left = parse()
        assert take() == "->"
        right = parse()
        assert take() == ")"
        return quorvel.Application(left, right)

    result = parse()
    assert position == len(tokens), text
    return result


def schema_table():
    text = (ROOT / "docs" / "type-schemas.md").read_text(encoding="utf-8")
    section = text.split("## Examples", 1)[1]
    rows = []
    for line in section.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) != 4 or not cells[0].startswith("`"):
            continue
        schema, type_text = cells[0][1:-1], cells[1][1:-1]
        captures = {}
        for item in filter(None, (part.strip() for part in cells[3].split(","))):
            name, _, captured = item.partition(" = ")
            captures[name] = parse_type(captured)
        rows.append((schema, type_text, cells[2], captures))
    return rows


def test_parse_type_round_trips():
    for text in ["A", "(A -> B)", "((A -> B) -> C)", "(A -> (B -> $B$))", "$a:b$"]:
        assert str(parse_type(text)) == text


def test_schema_table_is_not_empty():
    assert len(schema_table()) >= 20


@pytest.mark.parametrize("schema, type_text, verdict, captures", schema_table(),
                         ids=lambda value: value if isinstance(value, str) else "")
def test_schema_table_row_holds(schema, type_text, verdict, captures):
    assert verdict in ("yes", "no")
    type_schema = quorvel.TypeSchema(schema)
    subject = parse_type(type_text)
    assert type_schema.matches(subject) == (verdict == "yes")
    assert type_schema.capture(subject) == captures
