"""A pure-Python reading of the path pattern rules of docs/path-patterns.md.

The tokenizer and the part rule, producing plain tuples: the floor of the
"parse" benchmark group, and the oracle the tests hold PathPattern.parse to
for texts without property maps.

    read_path("(n:Person)-[e:knows*1..2]->(m)")
    == ([("n", "$Person$"), ("m", None)], [("e", "$knows$", "forward", (1, 2))])

Edges carry (min, max) hops or None; max None is unbounded. A malformed text
raises PatternError with PathPattern's message.
"""

WHITE_SPACE = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028,
                                0x2029, 0x202F, 0x205F, 0x3000]))
SEPARATORS = "\t\n\r "
LARGEST_BOUND = 2 ** 31
QUANTIFIER_FORMS = "expected *, *n, *n.., *..m or *n..m"


class PatternError(ValueError):
    def __init__(self, pattern, reason):
        super().__init__(f"Invalid pattern '{pattern}': {reason}")


def read_path(text):
    t = text.strip(WHITE_SPACE)
    if not t:
        raise PatternError("", "Pattern cannot be empty")
    tokens = tokenize(t)
    nodes, edges = [], []
    for kind, token in tokens:
        if kind == "node":
            nodes.append(read_node(token))
        else:
            edges.append(read_edge(token))
    if not nodes:
        raise PatternError(t, "Pattern must contain at least one node")
    if len(edges) >= len(nodes):
        raise PatternError(t, "Invalid pattern: too many edges for the number of nodes")
    return nodes, edges


def tokenize(t):
    """Node texts with their parentheses, connectors without outer separators."""
    tokens = []
    paren = bracket = 0
    edge_group = False  # a parenthesised group opened inside an edge's brackets
    node = []
    edge = []
    for c in t:
        if c == "{" and (paren > 0 or bracket > 0):
            raise NotImplementedError("property maps are not read here")
        if c == "(":
            if paren == 0 and bracket == 0:
                connector = "".join(edge).strip(WHITE_SPACE)
                if connector:
                    tokens.append(("edge", connector))
                edge = []
                node = ["("]
                paren = 1
            else:
                if paren == 0 and bracket > 0:
                    edge_group = True
                (edge if edge_group else node).append(c)
                paren += 1
        elif c == ")":
            (edge if edge_group else node).append(c)
            paren -= 1
            if paren == 0:
                if edge_group:
                    edge_group = False
                elif bracket == 0:
                    tokens.append(("node", "".join(node)))
        elif c in "[]":
            if paren == 0:
                edge.append(c)
                bracket += 1 if c == "[" else -1
            else:
                (edge if edge_group else node).append(c)
        elif c in "-<>":
            (edge if paren == 0 or edge_group else node).append(c)
        elif paren > 0:
            (edge if edge_group else node).append(c)
        elif bracket > 0:
            edge.append(c)
        elif c not in SEPARATORS:
            raise PatternError(t, f"Unexpected character '{c}' outside of node or edge pattern")
    if paren:
        raise PatternError(t, "Unmatched parentheses in pattern")
    if bracket:
        raise PatternError(t, "Unmatched brackets in pattern")
    if edge:
        raise PatternError(t, "Pattern cannot end with an edge")
    return tokens


def split_at_colon(inner):
    variable, colon, type_part = inner.partition(":")
    if not colon:
        return inner, None
    return variable.strip(WHITE_SPACE), type_part.strip(WHITE_SPACE)


def schema_of(type_part):
    if not type_part:
        return None
    return type_part if "$" in type_part else "$" + type_part + "$"


def read_node(x):
    variable, type_part = split_at_colon(x[1:-1].strip(WHITE_SPACE))
    return variable or None, schema_of(type_part)


def read_edge(x):
    open_, close = x.find("["), x.rfind("]")
    around = x[:open_ + 1] + x[close:] if 0 <= open_ < close else x
    starts_left = x.startswith("<")
    if starts_left and "->" in around:
        raise PatternError(x, "Cannot have both <- and -> in same edge")
    if starts_left and "-" in around:
        direction = "backward"
    elif "->" in around or x.endswith(">"):
        direction = "forward"
    else:
        direction = "any"
    if open_ < 0:
        raise PatternError(x, "Edge pattern must contain brackets")
    if close < open_:
        raise PatternError(x, "Brackets are mismatched")
    variable, type_part, quantifier = split_edge(x[open_ + 1:close].strip(WHITE_SPACE))
    hops = read_hops(x, quantifier) if quantifier else None
    return variable or None, schema_of(type_part), direction, hops


def bound_follows(s, star):
    rest = s[star + 1:]
    return rest[:1].isdigit() and rest[:1].isascii() or rest.startswith("..") or (
        rest[:1] == "-" and rest[1:2].isdigit() and rest[1:2].isascii())


def split_edge(inner):
    """(variable, type part or None, quantifier text or "")."""
    colon, star = inner.find(":"), inner.find("*")
    if star >= 0 and (colon < 0 or star < colon):
        return inner[:star].strip(WHITE_SPACE), None, inner[star:]
    variable, type_part = split_at_colon(inner)
    if type_part is None:
        return variable, None, ""
    star = -1
    if "$" in type_part:
        after = type_part[type_part.rfind("$") + 1:].lstrip(WHITE_SPACE)
        if after.startswith("*"):
            star = len(type_part) - len(after)
    else:
        star = next((k for k, c in enumerate(type_part) if c == "*" and bound_follows(type_part, k)), -1)
    if star < 0:
        return variable, type_part, ""
    return variable, type_part[:star].strip(WHITE_SPACE), type_part[star:]


def read_number(s):
    digits = len(s) - len(s.lstrip("0123456789"))
    return (int(s[:digits]) if digits else None), s[digits:]


def read_hops(connector, quantifier):
    q = quantifier.strip(WHITE_SPACE)

    def refuse(why):
        return PatternError(connector, f"Invalid quantifier '{q}': {why}")

    low, rest = read_number(q[1:])
    high = None
    if rest.startswith(".."):
        high, rest = read_number(rest[2:])
    elif low is not None:
        high = low
    if rest:
        if rest[0] == "-" and rest[1:2].isdigit() and rest[1:2].isascii():
            raise refuse("bounds cannot be negative")
        raise refuse(QUANTIFIER_FORMS)
    if (low or 0) > LARGEST_BOUND or (high or 0) > LARGEST_BOUND:
        raise refuse(f"bounds cannot exceed {LARGEST_BOUND}")
    low = 1 if low is None else low
    if high is not None and low > high:
        raise refuse(f"the lower bound {low} is above the upper bound {high}")
    return low, high
