"""Times vext.diff on the two 100,000-node trees of bench_diff.py (1% of the
nodes edited) against serialising both with marshal, in the same run;
vext_py.diff_trees is timed alongside for comparison."""

import marshal
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_diff import best  # noqa: E402
from trees import edited_copy, make_tree  # noqa: E402

import vext  # noqa: E402
import vext_py  # noqa: E402


def main():
    a = make_tree(100_000)
    b = edited_copy(a, 0.01, seed=2)
    changes = vext.diff(a, b)
    t_new = best(lambda: vext.diff(a, b))
    t_old = best(lambda: vext_py.diff_trees(a, b))
    t_marshal = best(lambda: (marshal.dumps(a), marshal.dumps(b)))
    print(f"vext.diff, 2 x 100,000 nodes, {len(changes)} changes")
    print(f"  vext.diff          {t_new * 1e3:8.2f} ms   {t_new / t_marshal:5.2f}x marshal")
    print(f"  vext_py.diff_trees {t_old * 1e3:8.2f} ms   {t_old / t_marshal:5.2f}x marshal")
    print(f"  marshal.dumps x2   {t_marshal * 1e3:8.2f} ms   1.00x (baseline)")


if __name__ == "__main__":
    main()
