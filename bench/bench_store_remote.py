"""Times vext.Store on PostgreSQL and push between stores, each figure against
a baseline measured in the same run, on the 100,000-node document shape:

- a commit of 10 changed nodes on PostgreSQL against the same on SQLite;
- 8 client processes committing to one branch for a while, each merging its
  refused commits: throughput, and every commit and refused commit accounted for;
- a push of N such commits from SQLite into an empty PostgreSQL store against
  committing the same trees into an empty PostgreSQL store directly, and the
  push of one new commit.

The server is the one tools/pg_server.sh starts (VEXT_TEST_POSTGRES), or one
started here. Each measurement runs in a schema of its own.

    python bench/bench_store_remote.py            # 1,000 commits, 30 s of 8 clients
    python bench/bench_store_remote.py --quick    # 50 commits, 5 s of 8 clients
"""

import argparse
import itertools
import multiprocessing
import os
import random
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from trees import all_nodes, edited_nodes, make_tree  # noqa: E402

import vext  # noqa: E402

SCRIPT = Path(__file__).resolve().parents[1] / "tools" / "pg_server.sh"
_schemas = itertools.count()


def row(what, seconds, base, base_name, target):
    ratio = seconds / base if base else float("inf")
    mark = "ok" if ratio <= target else "OVER"
    print(f"  {what:<44} {seconds * 1e3:9.2f} ms  {ratio:6.2f}x {base_name:<22} (target <= {target}x) {mark}")


def schema(server):
    name = f"bench_{os.getpid()}_{next(_schemas)}"
    subprocess.run(["psql", "-X", "-q", "-d", server, "-c", f"CREATE SCHEMA {name}"], check=True)
    sep = "&" if "?" in server else "?"
    return f"{server}{sep}options={urllib.parse.quote(f'-csearch_path={name}', safe='')}"


def commit_times(locations, tree, edits):
    """Best time of a 10-node commit in each store, the stores taking turns,
    so that a change in the machine's load falls on both alike."""
    stores = [vext.Store(location) for location in locations]
    for store in stores:
        store.commit(tree, "first")
    times = [[] for _ in stores]
    for i, edit in enumerate(edits):
        for store, took in zip(stores, times):
            t0 = time.perf_counter()
            store.commit(edit, f"edit {i}")
            took.append(time.perf_counter() - t0)
    for store in stores:
        store.close()
    return [min(took) for took in times]


def client(location, who, seconds, out):
    """Commits on main; a refused commit goes to a branch of its own and is merged until the merge lands."""
    made, refused, merged = [], [], 0
    with vext.Store(location) as store:
        end = time.monotonic() + seconds
        i = 0
        while time.monotonic() < end:
            head = store.head()
            tree = {"kind": "doc", "children": [{"kind": "c", "identity": f"{who}-{i}", "text": str(i)}]}
            try:
                made.append(store.commit(tree, f"{who} {i}", parents=[head]))
            except vext.StoreError as e:
                assert e.reason == "branch_moved"
                mine = f"client-{who}"
                store.reset(mine, head)
                refused.append(store.commit(tree, f"{who} {i} (refused)", branch=mine))
                while True:
                    try:
                        result = store.merge(mine, into="main")
                        break
                    except vext.StoreError as e:
                        assert e.reason == "branch_moved"
                assert not result.conflicts
                made.append(result.commit)
                merged += 1
            i += 1
    out.put((made, refused, merged))


def clients(server, n, seconds):
    location = schema(server)
    with vext.Store(location) as store:
        store.commit({"kind": "doc"}, "start")
    out = multiprocessing.get_context("fork").Queue()
    procs = [multiprocessing.get_context("fork").Process(target=client, args=(location, w, seconds, out))
             for w in range(n)]
    for p in procs:
        p.start()
    results = [out.get() for _ in procs]
    for p in procs:
        p.join()
    made = [c for r in results for c in r[0]]
    refused = [c for r in results for c in r[1]]
    with vext.Store(location) as store:
        history = {c.id for c in store.log()}
        store.verify()
    lost = [c for c in made + refused if c not in history]
    print(f"  {n} clients, {seconds:.0f} s: {len(made)} commits on main ({len(made) / seconds:.1f} per second), "
          f"{len(refused)} refused and merged, {len(lost)} lost (target 0)")


def edit_in_place(tree, count, seed):
    """Changes `count` random nodes of `tree` itself, as edited_nodes does a copy."""
    rng = random.Random(seed)
    for node in rng.sample(all_nodes(tree), count):
        node["text"] = f"edited {seed} {rng.randrange(10**6)}"


def history(commits):
    """The trees of `commits` successive commits, each 10 nodes away from the
    one before: one tree edited in place, so a long history fits in memory.
    The same every time."""
    tree = make_tree(100_000)
    for i in range(commits):
        if i:
            edit_in_place(tree, 10, seed=100 + i)
        yield tree


def push_bench(server, commits, scratch):
    # Only the commits are timed; the trees are made between them.
    direct_time = 0.0
    source = Path(scratch) / "source.vext"
    with vext.Store(schema(server)) as direct, vext.Store(source) as store:
        for i, t in enumerate(history(commits)):
            t0 = time.perf_counter()
            direct.commit(t, f"c{i}")
            direct_time += time.perf_counter() - t0
        last = t
        # The SQLite store pushed from holds the same commits.
        direct.push(store)
    target = schema(server)
    with vext.Store(source) as a, vext.Store(target) as b:
        t0 = time.perf_counter()
        stats = a.push(b)
        push_time = time.perf_counter() - t0
        assert stats.commits == commits
        row(f"push of {commits} commits into an empty store", push_time, direct_time,
            "commits written directly", 1.5)
        ones = []
        for seed in range(5):
            a.commit(edited_nodes(last, 10, seed=9000 + seed), "one more")
            t0 = time.perf_counter()
            assert a.push(b).commits == 1
            ones.append(time.perf_counter() - t0)
        print(f"  push of one new commit: {min(ones) * 1e3:.2f} ms best of 5, {sorted(ones)[2] * 1e3:.2f} ms median "
              "(target <= 20 ms)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--commits", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--quick", action="store_true", help="a short run: 50 commits, 5 s of clients")
    args = parser.parse_args()
    if args.quick:
        args.commits, args.seconds = 50, 5
    with tempfile.TemporaryDirectory() as scratch:
        server = os.environ.get("VEXT_TEST_POSTGRES")
        folder = None
        if not server:
            folder = tempfile.mkdtemp(prefix="vext-pg.")
            server = subprocess.run([str(SCRIPT), "start", folder], capture_output=True, text=True,
                                    check=True).stdout.strip()
        try:
            print("document, 100,000 nodes:")
            tree = make_tree(100_000)
            edits = [edited_nodes(tree, 10, seed=s) for s in range(1, 8)]
            sqlite, pg = commit_times([Path(scratch) / "s.vext", schema(server)], tree, edits)
            row("commit of 10 changed nodes, PostgreSQL", pg, sqlite, "the same on SQLite", 2)
            clients(server, 8, args.seconds)
            push_bench(server, args.commits, scratch)
        finally:
            if folder:
                subprocess.run([str(SCRIPT), "stop", folder], capture_output=True)


if __name__ == "__main__":
    main()
