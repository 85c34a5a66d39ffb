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
