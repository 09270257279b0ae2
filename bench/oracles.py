"""Plain-Python answers the benchmark checks query results against.

Paths in queries are trails: each edge at most once. Nodes are identified by
key (type text); a multigraph's adjacency is given as {node: {next: count}},
the number of parallel edges from node to next.
"""


def multiplicities(G):
    """{node: {next: number of edges node -> next}} of a networkx MultiDiGraph."""
    return {u: {v: len(keys) for v, keys in nbrs.items()} for u, nbrs in G.adj.items()}


def trail_ends(succ, src, lo, hi):
    """The end nodes of the trails of lo..hi edges from src, by depth-first enumeration.

    Parallel edges are interchangeable for the ends reached, so a trail is
    enumerated once per sequence of (node, next) steps, each step used at most
    as often as there are edges for it.
    """
    ends = set()
    stack = [(src, 0, ())]
    while stack:
        node, depth, used = stack.pop()
        if depth >= lo:
            ends.add(node)
        if depth == hi:
            continue
        for nxt, count in succ.get(node, {}).items():
            step = (node, nxt)
            if used.count(step) < count:
                stack.append((nxt, depth + 1, used + (step,)))
    return ends


def nx_reach_within(nx, G, src, hops):
    """The ends of trails of 1..hops edges from src, by networkx's breadth-first search.

    A walk that repeats an edge can drop the closed walk between the repeats
    and keep its end, so the ends of trails of 1..hops edges are the ends of
    walks of 1..hops edges: every node at distance 1..hops, and src itself
    when an edge leads back to it from a node at distance < hops.
    """
    near = nx.single_source_shortest_path_length(G, src, cutoff=hops)
    ends = set(near)
    ends.discard(src)
    if any(near.get(p, hops) < hops for p in G.pred[src]):
        ends.add(src)
    return ends
