"""Times vext.Store on the 100,000-node document shape and the flat
100,000-child shape, each figure against a baseline measured in the same run:
vext_py.Repo.commit of the same trees for commits, marshal.loads of the tree
for reads and merges, marshal.loads of the same list for log. Also the bytes a
commit of 10 changed nodes adds to the file, the file after N such commits
against the file after the first, and diff at 1,000,000 nodes in a process
that has just opened the store.

    python bench/bench_store.py                 # everything, 1,000 commits per history
    python bench/bench_store.py --commits 100   # shorter histories
"""

import argparse
import marshal
import os
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from trees import edited_nodes, make_flat, make_tree  # noqa: E402

import vext  # noqa: E402
import vext_py  # noqa: E402


def best(fn, repeat=5):
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def row(what, seconds, base, base_name, target):
    ratio = seconds / base if base else float("inf")
    mark = "ok" if ratio <= target else "OVER"
    print(f"  {what:<44} {seconds * 1e3:9.2f} ms  {ratio:6.2f}x {base_name:<22} (target <= {target}x) {mark}")


def size(path):
    return sum(os.path.getsize(f"{path}{s}") for s in ("", "-wal") if os.path.exists(f"{path}{s}"))


FRESH = """
import sys, time, marshal, vext
path, what, a, b = sys.argv[1:5]
t0 = time.perf_counter()
store = vext.Store(path)
t1 = time.perf_counter()
if what == "tree":
    store.tree(a)
elif what == "diff":
    store.diff(a, b)
elif what == "loads":
    marshal.loads(open(a, "rb").read())
t2 = time.perf_counter()
print(t1 - t0, t2 - t1)
"""


def fresh(path, what, a="", b=""):
    """(open, call) seconds in a new process, best of three."""
    runs = []
    for _ in range(3):
        out = subprocess.run([sys.executable, "-c", FRESH, str(path), what, a, b], capture_output=True, text=True,
                             check=True).stdout.split()
        runs.append((float(out[0]), float(out[1])))
    return min(runs, key=lambda r: r[0] + r[1])


def shape(name, tree, commits, scratch):
    print(f"{name}:")
    path = Path(scratch) / f"{name}.vext"
    dumped = marshal.dumps(tree)
    loads = best(lambda: marshal.loads(dumped))
    edits = [edited_nodes(tree, 10, seed=s) for s in range(1, 4)]

    repo = vext_py.Repo()
    t0 = time.perf_counter()
    first = repo.commit("first", [], tree)
    repo_first = time.perf_counter() - t0
    repo_next = best(lambda: repo.commit("next", [first], edits[0]), 3)

    with vext.Store(path) as store:
        t0 = time.perf_counter()
        c1 = store.commit(tree, "first")
        store_first = time.perf_counter() - t0
    after_first = size(path)
    row("first commit", store_first, repo_first, "Repo.commit", 3)
    times, growth = [], []
    for i in range(3):
        # Closing folds the write-ahead log into the file, whose growth is what stays.
        before = size(path)
        with vext.Store(path) as store:
            t0 = time.perf_counter()
            store.commit(edits[i], f"edit {i}")
            times.append(time.perf_counter() - t0)
        growth.append(size(path) - before)
    row("commit of 10 changed nodes", min(times), repo_next, "Repo.commit", 1.5)
    print(f"  file growth per such commit: {max(growth) / 1024:.1f} KiB (target <= 64 KiB)")

    one = Path(scratch) / f"{name}-one.vext"
    with vext.Store(one) as store:
        store.commit(tree, "first")
    with vext.Store(path) as store:
        previous = edits[0]
        for i in range(commits - 4):
            previous = edited_nodes(previous, 10, seed=100 + i) if i % 10 == 0 else edits[i % 3]
            store.commit(previous, f"commit {i}")
    print(f"  file after {commits} commits: {size(path) / after_first:.2f}x the file after the first "
          f"({size(path) / 2**20:.1f} MiB; target <= 2x)")

    many_open, many_tree = fresh(path, "tree", "main")
    one_open, one_tree = fresh(one, "tree", "main")
    row(f"open + tree(head), {commits} commits", many_open + many_tree, one_open + one_tree,
        "the same, 1 commit", 1.2)
    marshal_file = Path(scratch) / "tree.marshal"
    marshal_file.write_bytes(dumped)
    _, fresh_loads = fresh(one, "loads", str(marshal_file))
    row("tree(id), fresh process", many_tree, fresh_loads, "marshal.loads, fresh", 2)
    with vext.Store(path) as store:
        store.tree("main")
        row("tree(id), warm", best(lambda: store.tree("main")), loads, "marshal.loads", 1.0)

        head = store.head()
        store.branch("theirs", at=head)
        store.commit(edited_nodes(store.tree(head), 10, seed=7001), "ours")
        store.commit(edited_nodes(store.tree(head), 10, seed=7002), "theirs", branch="theirs")
        t0 = time.perf_counter()
        result = store.merge("theirs", into="main")
        merge_time = time.perf_counter() - t0
        merged = marshal.dumps(result.tree)
        row("merge, 10 changes on each side", merge_time, best(lambda: marshal.loads(merged)),
            "marshal.loads (merged)", 1.0)
    print()


def diff_at(n, scratch):
    """(fresh, warm) seconds of diff between two commits 10 changes apart."""
    tree = make_tree(n)
    path = Path(scratch) / f"diff-{n}.vext"
    with vext.Store(path) as store:
        a = store.commit(tree, "a")
        b = store.commit(edited_nodes(tree, 10, seed=5), "b")
        store.diff(a, b)
        warm = best(lambda: store.diff(a, b))
    return fresh(path, "diff", a, b)[1], warm


def log_bench(scratch):
    path = Path(scratch) / "log.vext"
    with vext.Store(path) as store:
        for i in range(10_000):
            store.commit({"kind": "doc", "text": str(i)}, f"commit {i}")
        t0 = time.perf_counter()
        commits = list(store.log())
        took = time.perf_counter() - t0
    data = marshal.dumps([(c.id, c.root, c.parents, c.message, c.time) for c in commits])
    row("log of 10,000 commits", took, best(lambda: marshal.loads(data)), "marshal.loads (list)", 1.0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--commits", type=int, default=1000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        shape("document", make_tree(100_000), args.commits, scratch)
        shape("flat", make_flat(100_000, False), args.commits, scratch)
        print("diff of two commits 10 changes apart:")
        small_fresh, small_warm = diff_at(100_000, scratch)
        big_fresh, big_warm = diff_at(1_000_000, scratch)
        print(f"  1,000,000 nodes: {big_fresh * 1e3:.2f} ms just opened (target <= 5 ms), "
              f"{big_warm * 1e3:.2f} ms warm (target <= 1 ms)")
        print(f"  1,000,000 against 100,000 nodes: {big_warm / small_warm:.2f}x warm, "
              f"{big_fresh / small_fresh:.2f}x just opened (target <= 1.5x)")
        print()
        log_bench(scratch)


if __name__ == "__main__":
    main()
