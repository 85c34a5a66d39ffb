"""Times diff_trees on two 100,000-node trees against serialising both with
marshal (the cheapest C pass over the same objects), in the same run."""

import marshal
import pickle
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from trees import edited_copy, make_tree  # noqa: E402

import vext_py  # noqa: E402


def best(fn, repeat=7):
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def main():
    a = make_tree(100_000)
    b = edited_copy(a, 0.01, seed=2)
    changes = vext_py.diff_trees(a, b)
    t_diff = best(lambda: vext_py.diff_trees(a, b))
    t_marshal = best(lambda: (marshal.dumps(a), marshal.dumps(b)))
    t_pickle = best(lambda: (pickle.dumps(a, protocol=5), pickle.dumps(b, protocol=5)))
    print(f"diff_trees, 2 x 100,000 nodes, {len(changes)} changes")
    print(f"  diff_trees       {t_diff * 1e3:8.2f} ms   {t_diff / t_marshal:5.2f}x marshal")
    print(f"  marshal.dumps x2 {t_marshal * 1e3:8.2f} ms   1.00x (baseline)")
    print(f"  pickle.dumps x2  {t_pickle * 1e3:8.2f} ms   {t_pickle / t_marshal:5.2f}x marshal")


if __name__ == "__main__":
    main()
