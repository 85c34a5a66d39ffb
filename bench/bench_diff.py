"""Times diff_trees on every tree shape of trees.shapes() against serialising
both trees with marshal (the cheapest C pass over the same objects), in the
same run. `python bench_diff.py [shape ...]` limits the run to the shapes
whose names start with the given words."""

import marshal
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


def main(wanted):
    print(f"{'shape':<20} {'nodes':>8} {'changes':>8} {'diff ms':>9} {'marshal ms':>11} {'ratio':>6} {'ns/node':>8}")
    for name, a, b, _ in shapes():
        if wanted and not any(name.startswith(w) for w in wanted):
            continue
        nodes = len(all_nodes(a)) + len(all_nodes(b))
        changes = len(vext_py.diff_trees(a, b))
        t_diff = best(lambda: vext_py.diff_trees(a, b))
        t_marshal = best(lambda: (marshal.dumps(a), marshal.dumps(b)))
        print(f"{name:<20} {nodes:>8} {changes:>8} {t_diff * 1e3:>9.2f} {t_marshal * 1e3:>11.2f} "
              f"{t_diff / t_marshal:>5.2f}x {t_diff / nodes * 1e9:>8.1f}")


if __name__ == "__main__":
    main(sys.argv[1:])
