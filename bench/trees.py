"""Document-like trees for the benchmarks: depth about 6 to 10, a third of the
nodes identified, a few attributes each."""

import copy
import random

KINDS = ["section", "para", "list", "item", "span", "table", "row", "cell", "note", "figure"]


def make_tree(n_nodes, seed=1):
    rng = random.Random(seed)
    root = {"kind": "doc", "identity": "root", "children": []}
    frontier = [(root, 1)]
    count = 1
    serial = 0
    while count < n_nodes:
        parent, depth = frontier[rng.randrange(len(frontier))]
        node = {"kind": rng.choice(KINDS)}
        if rng.random() < 1 / 3:
            serial += 1
            node["identity"] = f"n{serial}"
        if rng.random() < 0.5:
            node["text"] = f"text {rng.randrange(1000)}"
        node["attributes"] = {f"a{j}": str(rng.randrange(100)) for j in range(rng.randrange(4))}
        parent.setdefault("children", []).append(node)
        count += 1
        if depth < 9:
            frontier.append((node, depth + 1))
    return root


def all_nodes(tree):
    out, stack = [], [tree]
    while stack:
        node = stack.pop()
        out.append(node)
        stack.extend(node.get("children", ()))
    return out


def edited_copy(tree, fraction, seed):
    """Returns a deep copy with about `fraction` of the nodes changed: text
    edits, attribute edits, and a few added and removed leaves."""
    rng = random.Random(seed)
    out = copy.deepcopy(tree)
    nodes = all_nodes(out)
    serial = 0
    for node in rng.sample(nodes, int(len(nodes) * fraction)):
        r = rng.random()
        if r < 0.5:
            node["text"] = f"edited {seed} {rng.randrange(10**6)}"
        elif r < 0.8:
            node.setdefault("attributes", {})[f"a{rng.randrange(4)}"] = f"v{seed}"
        elif r < 0.9:
            serial += 1
            node.setdefault("children", []).append({"kind": "note", "identity": f"new{seed}-{serial}"})
        elif node.get("children"):
            node["children"].pop(rng.randrange(len(node["children"])))
    return out


def copy_tree(tree):
    """Deep copy without recursion, so chains deeper than the interpreter's
    recursion limit copy too."""
    out = dict(tree)
    stack = [out]
    while stack:
        node = stack.pop()
        if "attributes" in node:
            node["attributes"] = dict(node["attributes"])
        if "children" in node:
            node["children"] = [dict(c) for c in node["children"]]
            stack.extend(node["children"])
    return out


def make_flat(n_children, identified, seed=1):
    """A catalogue: one root over `n_children` products with a text and two
    attributes each, identified or anonymous."""
    rng = random.Random(seed)
    children = []
    for i in range(n_children):
        node = {"kind": "product", "text": f"text {rng.randrange(1000)}",
                "attributes": {"price": str(rng.randrange(100)), "stock": str(rng.randrange(10))}}
        if identified:
            node["identity"] = f"p{i}"
        children.append(node)
    return {"kind": "catalog", "identity": "root", "children": children}


def make_chains(n_chains, depth, seed=1):
    """`n_chains` chains of `depth` identified nodes under one root (marshal,
    the baseline, refuses trees deeper than about 1,000 nodes)."""
    rng = random.Random(seed)
    root = {"kind": "doc", "identity": "root", "children": []}
    for c in range(n_chains):
        parent = root
        for d in range(depth):
            node = {"kind": "level", "identity": f"c{c}-{d}", "text": f"text {rng.randrange(1000)}"}
            parent.setdefault("children", []).append(node)
            parent = node
    return root


def edited_nodes(tree, count, seed, candidates=None):
    """Returns a copy with `count` random nodes changed (texts, attributes,
    a few added and removed children)."""
    rng = random.Random(seed)
    out = copy_tree(tree)
    nodes = all_nodes(out)
    serial = 0
    for node in rng.sample(nodes, min(count, len(nodes))):
        r = rng.random()
        if r < 0.6:
            node["text"] = f"edited {seed} {rng.randrange(10**6)}"
        elif r < 0.85:
            node.setdefault("attributes", {})["price"] = f"v{seed}"
        elif r < 0.93 or not node.get("children"):
            serial += 1
            node.setdefault("children", []).append({"kind": "note", "identity": f"new{seed}-{serial}"})
        else:
            node["children"].pop(rng.randrange(len(node["children"])))
    return out


def shapes():
    """(name, base, ours, theirs) for every benchmark shape; ours and theirs
    are independent edits of base."""
    doc = make_tree(100_000)
    yield "document", doc, edited_copy(doc, 0.01, seed=2), edited_copy(doc, 0.01, seed=3)
    for name, tree, changes in [("flat identified", make_flat(100_000, True), 100),
                                ("flat anonymous", make_flat(100_000, False), 100),
                                ("wide, many changes", make_flat(80_000, True), 3_200),
                                ("deep chains", make_chains(110, 900), 1_000)]:
        yield name, tree, edited_nodes(tree, changes, seed=2), edited_nodes(tree, changes, seed=3)
