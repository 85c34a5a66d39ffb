"""Times merge_trees on every tree shape of trees.shapes() (a base and two
independently edited copies) against one C pass to read the inputs and one to
build the output, in the same run: marshal.dumps of the three inputs plus
marshal.loads of the merged tree. `python bench_merge.py [shape ...]` limits
the run to the shapes whose names start with the given words."""

import marshal
import random
import sys
import time
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from trees import all_nodes, shapes  # noqa: E402

import vext_py  # noqa: E402


def best(fn, repeat=7):
    # CPU time of this process: the calls are single-threaded, and other
    # work on the machine then skews the figures less than wall time would.
    return min(timeit.repeat(fn, number=1, repeat=repeat, timer=time.process_time))


def collide(ours, theirs, count, seed=5):
    """Gives `count` identified nodes different texts on the two sides."""
    rng = random.Random(seed)
    by_id = {n["identity"]: n for n in all_nodes(theirs) if "identity" in n}
    picked = [n for n in all_nodes(ours) if n.get("identity") in by_id]
    for n in rng.sample(picked, count):
        n["text"] = "ours wins"
        by_id[n["identity"]]["text"] = "theirs loses"


def main(wanted):
    print(f"{'shape':<20} {'nodes':>8} {'conflicts':>9} {'merge ms':>9} {'baseline ms':>12} {'ratio':>6} {'ns/node':>8}")
    for name, base, ours, theirs in shapes():
        if wanted and not any(name.startswith(w) for w in wanted):
            continue
        if name == "document":
            collide(ours, theirs, 50)
        nodes = len(all_nodes(base)) + len(all_nodes(ours)) + len(all_nodes(theirs))
        merged, conflicts = vext_py.merge_trees(base, ours, theirs)
        blob = marshal.dumps(merged)
        t_merge = best(lambda: vext_py.merge_trees(base, ours, theirs))
        t_base = best(lambda: (marshal.dumps(base), marshal.dumps(ours), marshal.dumps(theirs), marshal.loads(blob)))
        print(f"{name:<20} {nodes:>8} {conflicts:>9} {t_merge * 1e3:>9.2f} {t_base * 1e3:>12.2f} "
              f"{t_merge / t_base:>5.2f}x {t_merge / nodes * 1e9:>8.1f}")


if __name__ == "__main__":
    main(sys.argv[1:])
