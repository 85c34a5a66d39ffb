"""Times the Repo methods on 100,000-node trees, each against a marshal
baseline measured in the same run: marshal.dumps of the tree for calls that
read one, marshal.loads for calls that build one. Also reports the memory a
repository needs per commit."""

import gc
import marshal
import random
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from trees import all_nodes, edited_copy, make_tree  # noqa: E402

import vext_py  # noqa: E402


def best(fn, repeat=5):
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20


def row(name, t, base, base_name, target):
    ratio = t / base
    flag = "ok" if ratio <= target else "over"
    print(f"  {name:<28} {t * 1e3:8.2f} ms  {ratio:5.2f}x {base_name:<14} (target {target}x, {flag})")


def timings():
    tree = make_tree(100_000)
    ours = edited_copy(tree, 0.01, seed=2)
    theirs = edited_copy(tree, 0.01, seed=3)
    repo = vext_py.Repo()
    root = repo.commit("base", [], tree)
    a = repo.commit("ours", [root], ours)
    b = repo.commit("theirs", [root], theirs)
    dumps = best(lambda: marshal.dumps(tree))

    def loads_of(result):
        blob = marshal.dumps(result)
        return best(lambda: marshal.loads(blob))

    print("Repo on 100,000-node trees (1% of nodes edited per side)")
    row("commit", best(lambda: repo.commit("again", [root], tree)), dumps, "marshal.dumps", 1.5)
    row("tree_at", best(lambda: repo.tree_at(a)), loads_of(repo.tree_at(a)), "marshal.loads", 1.5)
    row("diff (two commits)", best(lambda: repo.diff(a, b)), dumps, "marshal.dumps", 0.5)
    merged, _ = repo.merge(a, b)
    row("merge", best(lambda: repo.merge(a, b)), loads_of(merged), "marshal.loads", 1.5)
    row("cherry_pick", best(lambda: repo.cherry_pick(a, root)), loads_of(repo.cherry_pick(a, root)), "marshal.loads", 1.5)
    row("revert", best(lambda: repo.revert(a, a)), loads_of(repo.revert(a, a)), "marshal.loads", 1.5)

    history = vext_py.Repo()
    parent = []
    for i in range(10_000):
        parent = [history.commit(f"commit {i}", parent, {"kind": "doc", "text": str(i)})]
    log = history.log()
    blob = marshal.dumps(log)
    row("log (10,000 commits)", best(lambda: history.log()), best(lambda: marshal.loads(blob)), "marshal.loads", 1.5)


def memory():
    tree = make_tree(100_000)
    nodes = all_nodes(tree)
    rng = random.Random(9)
    gc.collect()
    before = rss_mib()
    repo = vext_py.Repo()
    parents = []
    for i in range(100):
        for node in rng.sample(nodes, 10):
            node["text"] = f"commit {i}"
        parents = [repo.commit(f"commit {i}", parents, tree)]
    gc.collect()
    used = rss_mib() - before
    print(f"Repo memory: 100 commits of a 100,000-node tree, 10 nodes changed per commit: "
          f"{used:.0f} MiB in all, {used / 100:.1f} MiB per commit")


if __name__ == "__main__":
    timings()
    memory()
