"""Times merge_trees on three 100,000-node trees (a base and two copies with
1% of the nodes edited on each side, some edits colliding) against one C
pass to read the inputs and one to build the output, in the same run:
marshal.dumps of the three inputs plus marshal.loads of the merged tree."""

import marshal
import random
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from trees import all_nodes, edited_copy, make_tree  # noqa: E402

import vext_py  # noqa: E402


def best(fn, repeat=7):
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def collide(ours, theirs, count, seed=5):
    """Gives `count` identified nodes different texts on the two sides."""
    rng = random.Random(seed)
    by_id = {n["identity"]: n for n in all_nodes(theirs) if "identity" in n}
    picked = [n for n in all_nodes(ours) if n.get("identity") in by_id]
    for n in rng.sample(picked, count):
        n["text"] = "ours wins"
        by_id[n["identity"]]["text"] = "theirs loses"


def main():
    base = make_tree(100_000)
    ours = edited_copy(base, 0.01, seed=2)
    theirs = edited_copy(base, 0.01, seed=3)
    collide(ours, theirs, 50)
    merged, conflicts = vext_py.merge_trees(base, ours, theirs)
    blob = marshal.dumps(merged)
    t_merge = best(lambda: vext_py.merge_trees(base, ours, theirs))
    t_base = best(lambda: (marshal.dumps(base), marshal.dumps(ours), marshal.dumps(theirs), marshal.loads(blob)))
    print(f"merge_trees, 3 x 100,000 nodes, {conflicts} conflicts")
    print(f"  merge_trees                 {t_merge * 1e3:8.2f} ms   {t_merge / t_base:5.2f}x baseline")
    print(f"  marshal.dumps x3 + loads    {t_base * 1e3:8.2f} ms   1.00x (baseline)")


if __name__ == "__main__":
    main()
