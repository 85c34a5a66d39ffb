"""Times the Repo methods on 100,000-node trees of two shapes (a document and
a flat list of identified children), each against a marshal baseline
measured in the same run: marshal.dumps of the tree for calls that read one,
marshal.loads for calls that build one. Then times Repo.diff of two commits
10 nodes apart at 100,000 and 1,000,000 nodes, and measures the memory of a
history of commits that change 10 nodes each against the first commit alone,
each history in a fresh process. Last, pickles and unpickles a history of
100 such commits against marshal of one of its trees, and compares sizes.

    python bench/bench_repo.py                # timings, diff sizes, 100-commit memory
    python bench/bench_repo.py --commits 1000 # the memory histories with 1,000 commits
    python bench/bench_repo.py --only pickle  # pickle size and speed alone
"""

import argparse
import ctypes
import gc
import json
import marshal
import pickle
import random
import subprocess
import sys
import time
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from trees import all_nodes, edited_copy, make_tree  # noqa: E402

import vext_py  # noqa: E402


def best(fn, repeat=5):
    return min(timeit.repeat(fn, number=1, repeat=repeat))


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_mib():
    """The C heap in use (glibc's mallinfo2): what the repository holds, not
    what the allocator keeps from earlier calls, as RSS would show."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return (info.uordblks + info.hblkhd) / 2**20


def row(name, t, base, base_name, target):
    ratio = t / base
    flag = "ok" if ratio <= target else "over"
    print(f"  {name:<28} {t * 1e3:8.2f} ms  {ratio:5.2f}x {base_name:<14} (target {target}x, {flag})")


def make_flat(n, seed=1):
    rng = random.Random(seed)
    children = [{"kind": "item", "identity": f"i{i}", "text": f"text {rng.randrange(1000)}",
                 "attributes": {"a": str(rng.randrange(100))}} for i in range(n - 1)]
    return {"kind": "list", "identity": "root", "children": children}


SHAPES = {"document": make_tree, "flat": make_flat}


def loads_of(result):
    blob = marshal.dumps(result)
    return best(lambda: marshal.loads(blob))


def timings(shape):
    tree = SHAPES[shape](100_000)
    ours = edited_copy(tree, 0.01, seed=2)
    theirs = edited_copy(tree, 0.01, seed=3)
    repo = vext_py.Repo()
    root = repo.commit("base", [], tree)
    a = repo.commit("ours", [root], ours)
    b = repo.commit("theirs", [root], theirs)
    dumps = best(lambda: marshal.dumps(tree))

    print(f"Repo on a 100,000-node {shape} tree (1% of nodes edited per side)")
    row("commit", best(lambda: repo.commit("again", [root], tree)), dumps, "marshal.dumps", 0.8)
    row("tree_at", best(lambda: repo.tree_at(a)), loads_of(repo.tree_at(a)), "marshal.loads", 0.8)
    merged, _ = repo.merge(a, b)
    row("merge", best(lambda: repo.merge(a, b)), loads_of(merged), "marshal.loads", 1.0)
    row("cherry_pick", best(lambda: repo.cherry_pick(a, root)), loads_of(repo.cherry_pick(a, root)), "marshal.loads", 1.0)
    row("revert", best(lambda: repo.revert(a, a)), loads_of(repo.revert(a, a)), "marshal.loads", 1.0)


def log_timing():
    history = vext_py.Repo()
    parent = []
    for i in range(10_000):
        parent = [history.commit(f"commit {i}", parent, {"kind": "doc", "text": str(i)})]
    log = history.log()
    print("Repo.log")
    row("log (10,000 commits)", best(lambda: history.log()), loads_of(log), "marshal.loads", 1.0)


def change_nodes(nodes, rng, count, label):
    for node in rng.sample(nodes, count):
        node["text"] = label


def diff_timings(shape):
    print(f"Repo.diff of two commits 10 nodes apart, {shape} trees (target: at most 1 ms at 1,000,000 nodes,"
          " and at most 1.5x the time at 100,000)")
    times = {}
    for n in (100_000, 1_000_000):
        tree = SHAPES[shape](n)
        nodes = all_nodes(tree)
        repo = vext_py.Repo()
        a = repo.commit("a", [], tree)
        change_nodes(nodes, random.Random(5), 10, "changed")
        b = repo.commit("b", [a], tree)
        assert 0 < len(repo.diff(a, b)) <= 10
        # A call takes tens of microseconds: time batches in CPU time, so that
        # the clock's grain and other processes do not decide the ratio.
        times[n] = min(timeit.repeat(lambda: repo.diff(a, b), number=200, repeat=30, timer=time.process_time)) / 200
        print(f"  {n:>9,} nodes  {times[n] * 1e3:8.3f} ms")
        del tree, nodes, repo
        gc.collect()
    ratio = times[1_000_000] / times[100_000]
    flag = "ok" if times[1_000_000] <= 1e-3 and ratio <= 1.5 else "over"
    print(f"  1,000,000 against 100,000: {ratio:.2f}x ({flag})")


def memory_history(shape, commits):
    """Runs in a fresh process: the heap that the first commit adds, and
    that the whole history adds, 10 nodes changed per commit."""
    tree = SHAPES[shape](100_000)
    nodes = all_nodes(tree)
    rng = random.Random(9)
    gc.collect()
    before = heap_mib()
    repo = vext_py.Repo()
    parents = [repo.commit("commit 0", [], tree)]
    gc.collect()
    first = heap_mib() - before
    for i in range(1, commits):
        change_nodes(nodes, rng, 10, f"commit {i}")
        parents = [repo.commit(f"commit {i}", parents, tree)]
    gc.collect()
    print(json.dumps({"first": first, "all": heap_mib() - before}))


def memory(shape, commits):
    out = subprocess.run([sys.executable, __file__, "--history", shape, str(commits)],
                         check=True, capture_output=True, text=True).stdout
    m = json.loads(out.strip().splitlines()[-1])
    ratio = m["all"] / m["first"]
    flag = "ok" if ratio <= 2 else "over"
    print(f"  {shape:<9} {commits:>5} commits: {m['all']:7.1f} MiB, first commit alone {m['first']:6.1f} MiB,"
          f" {ratio:5.2f}x (target 2x, {flag})")


def pickle_timings(shape, commits=100):
    """A history of `commits` commits of a 100,000-node tree, 10 nodes
    changed per commit, against marshal of one of those trees."""
    tree = SHAPES[shape](100_000)
    nodes = all_nodes(tree)
    rng = random.Random(11)
    repo = vext_py.Repo()
    parents = [repo.commit("commit 0", [], tree)]
    for i in range(1, commits):
        change_nodes(nodes, rng, 10, f"commit {i}")
        parents = [repo.commit(f"commit {i}", parents, tree)]
    blob = pickle.dumps(repo, protocol=pickle.HIGHEST_PROTOCOL)
    one = marshal.dumps(tree)
    size = len(blob) / len(one)
    print(f"  {shape:<9} size {len(blob) / 2**20:6.2f} MiB  {size:5.2f}x marshal.dumps of one tree"
          f" ({len(one) / 2**20:.2f} MiB; target 1.5x, {'ok' if size <= 1.5 else 'over'})")
    row(f"{shape} pickle.dumps", best(lambda: pickle.dumps(repo, protocol=pickle.HIGHEST_PROTOCOL)),
        best(lambda: marshal.dumps(tree)), "marshal.dumps", 1.0)
    row(f"{shape} pickle.loads", best(lambda: pickle.loads(blob)), best(lambda: marshal.loads(one)),
        "marshal.loads", 1.5)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--commits", type=int, default=100)
    parser.add_argument("--history", nargs=2, metavar=("SHAPE", "COMMITS"))
    parser.add_argument("--only", choices=["timings", "diff", "memory", "pickle"])
    args = parser.parse_args()
    if args.history:
        memory_history(args.history[0], int(args.history[1]))
        sys.exit()
    if args.only in (None, "timings"):
        for shape in SHAPES:
            timings(shape)
        log_timing()
    if args.only in (None, "diff"):
        for shape in SHAPES:
            diff_timings(shape)
    if args.only in (None, "memory"):
        print("Repo memory: a history of commits of a 100,000-node tree, 10 nodes changed per commit")
        for shape in SHAPES:
            memory(shape, args.commits)
    if args.only in (None, "pickle"):
        print("Repo pickle: a history of 100 commits of a 100,000-node tree, 10 nodes changed per commit")
        for shape in SHAPES:
            pickle_timings(shape)
