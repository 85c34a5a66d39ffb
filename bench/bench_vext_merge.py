"""Times vext.merge on the document triples of bench_merge.py (three
100,000-node trees, 1% of the nodes edited on each side, some edits
colliding) against the same floor, measured in the same run: marshal.dumps of
the three inputs plus marshal.loads of the merged tree. vext_py.merge_trees is
timed alongside for comparison."""

import marshal
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_merge import best, collide  # noqa: E402
from trees import edited_copy, make_tree  # noqa: E402

import vext  # noqa: E402
import vext_py  # noqa: E402


def main():
    base = make_tree(100_000)
    ours = edited_copy(base, 0.01, seed=2)
    theirs = edited_copy(base, 0.01, seed=3)
    collide(ours, theirs, 50)
    merged, conflicts = vext.merge(base, ours, theirs)
    blob = marshal.dumps(merged)
    t_new = best(lambda: vext.merge(base, ours, theirs))
    t_old = best(lambda: vext_py.merge_trees(base, ours, theirs))
    t_base = best(lambda: (marshal.dumps(base), marshal.dumps(ours), marshal.dumps(theirs), marshal.loads(blob)))
    print(f"vext.merge, 3 x 100,000 nodes, {len(conflicts)} conflicts")
    print(f"  vext.merge                  {t_new * 1e3:8.2f} ms   {t_new / t_base:5.2f}x baseline")
    print(f"  vext_py.merge_trees         {t_old * 1e3:8.2f} ms   {t_old / t_base:5.2f}x baseline")
    print(f"  marshal.dumps x3 + loads    {t_base * 1e3:8.2f} ms   1.00x (baseline)")


if __name__ == "__main__":
    main()
