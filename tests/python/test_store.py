"""vext.Store on SQLite and on PostgreSQL: faithful trees, diff and merge
equal to the engine's on whole trees, branches that refuse lost updates,
durability under SIGKILL, sharing between processes, and damaged files
reported, never returned."""

import os
import random
import json
import signal
import subprocess
import sys
import sqlite3
import time
import traceback

import pytest
from hypothesis import given, settings

import vext
from conftest import interrupted_call, new_schema, pg_sql
from test_properties import three_way, tree_and_edit, trees
from test_vext_properties import exact


def returned(tree):
    """The tree as vext gives it back: the normal form of its dict."""
    return vext.apply(tree, [])


@pytest.fixture(scope="module", params=["sqlite", "postgresql"])
def shared_store(request, tmp_path_factory):
    if request.param == "sqlite":
        with vext.Store(tmp_path_factory.mktemp("store") / "shared.vext") as store:
            yield store
        return
    server = request.getfixturevalue("postgres_server")
    url, schema = new_schema(server)
    with vext.Store(url) as store:
        yield store
    pg_sql(server, f"DROP SCHEMA {schema} CASCADE")


class TestProperties:
    @settings(max_examples=60, deadline=None)
    @given(trees())
    def test_a_tree_comes_back_exactly_as_committed(self, shared_store, tree):
        commit = shared_store.commit(tree, "t", branch="round-trip")
        back = shared_store.tree(commit)
        assert back == returned(tree)
        assert exact(back) == exact(returned(tree))
        # A second read comes from the store's cache and owes nothing to the first.
        back["kind"] = "changed"
        assert exact(shared_store.tree(commit)) == exact(returned(tree))

    @settings(max_examples=60, deadline=None)
    @given(tree_and_edit())
    def test_a_diff_equals_the_diff_of_the_trees(self, shared_store, pair):
        a, b = pair
        ca = shared_store.commit(a, "a", branch="diff")
        cb = shared_store.commit(b, "b", branch="diff")
        assert shared_store.diff(ca, cb) == vext.diff(a, b)
        assert shared_store.diff(cb, ca) == vext.diff(b, a)

    @settings(max_examples=60, deadline=None)
    @given(three_way())
    def test_a_merge_equals_the_merge_of_the_trees(self, shared_store, triple):
        base, ours, theirs = triple
        shared_store.commit(base, "base", branch="ours")
        shared_store.reset("theirs", "ours")
        c_ours = shared_store.commit(ours, "ours", branch="ours")
        c_theirs = shared_store.commit(theirs, "theirs", branch="theirs")
        result = shared_store.merge("theirs", into="ours")
        expected = vext.merge(base, ours, theirs)
        assert (result.tree, result.conflicts) == tuple(expected)
        if result.conflicts:
            assert result.commit is None
            assert shared_store.head("ours") == c_ours
        elif result.commit != c_ours:
            assert shared_store.tree(result.commit) == expected.tree
            assert shared_store.info(result.commit).parents == (c_ours, c_theirs)


class TestBranches:
    def test_a_commit_on_parents_that_are_no_longer_the_head_is_refused(self, location):
        with vext.Store(location) as store:
            c1 = store.commit({"kind": "a"}, "one")
            c2 = store.commit({"kind": "b"}, "two", parents=[c1[:8]])
            before = store.verify()
            with pytest.raises(vext.StoreError) as info:
                store.commit({"kind": "c", "text": "lost?"}, "three", parents=[c1])
            assert info.value.reason == "branch_moved"
            assert store.verify() == before
            assert store.head() == c2
            assert store.branch("draft", at=c1) == c1
            assert store.branches == {"main": c2, "draft": c1}
            with pytest.raises(vext.StoreError, match="exists"):
                store.branch("draft")
            store.reset("draft", c2)
            store.delete_branch("draft")
            assert store.branches == {"main": c2}
            assert [c.message for c in store.log()] == ["two", "one"]

    def test_a_branch_already_merged_records_nothing(self, location):
        with vext.Store(location) as store:
            c1 = store.commit({"kind": "a"}, "one")
            store.branch("old", at=c1)
            c2 = store.commit({"kind": "a", "text": "x"}, "two")
            result = store.merge("old")
            assert result == (store.tree(c2), (), c2, c1)
            assert store.verify().commits == 2


class TestLog:
    def test_every_commit_comes_once_as_info_gives_it_newest_first(self, location):
        with vext.Store(location) as store:
            made = [store.commit({"kind": "doc", "text": "0"}, "root")]
            side = [made[0]]
            store.branch("side")
            for i in range(1, 8):
                if i % 3:
                    made.append(store.commit({"kind": "doc", "text": str(i)}, f"c{i}\nmore"))
                else:
                    side.append(store.commit({"kind": "doc", "text": "0", "label": str(i)}, "s", branch="side"))
                    made.append(side[-1])
            made.append(store.merge("side").commit)
            made.append(store.commit({"kind": "doc"}, ""))
            log = list(store.log())
            assert log == [store.info(c) for c in made[::-1]]
            assert all(type(c) is vext.Commit for c in log)
            assert [c.id for c in store.log("side")] == side[::-1]
            # A parent is the same str as the id of the commit it names.
            by_id = {c.id: c.id for c in log}
            assert all(p is by_id[p] for c in log for p in c.parents)

    def test_the_history_is_read_when_the_iteration_starts(self, tmp_path):
        store = vext.Store(tmp_path / "s.vext")
        store.commit({"kind": "doc"}, "one")
        missing, closed = store.log("nope"), store.log()
        store.close()
        for log in (missing, closed):
            with pytest.raises(vext.StoreError):
                next(log)
            assert list(log) == []


class TestErrors:
    def test_bad_files_raise_store_error_naming_the_file(self, tmp_path):
        text = tmp_path / "notes.txt"
        text.write_text("not a database, just text that is long enough to fill a header\n" * 4)
        with pytest.raises(vext.StoreError) as info:
            vext.Store(text)
        assert str(info.value).startswith(f"{text}: not a vext store")
        assert info.value.reason == "not_a_store"
        newer = tmp_path / "newer.vext"
        vext.Store(newer).close()
        with sqlite3.connect(newer) as db:
            db.execute("PRAGMA user_version=9")
        db.close()
        with pytest.raises(vext.StoreError, match="newer vext") as info:
            vext.Store(newer)
        assert info.value.reason == "newer_format"

    def test_unknown_names_and_a_closed_store(self, location):
        store = vext.Store(location)
        store.commit({"kind": "a"}, "one")
        calls = (lambda: store.tree("nope"), lambda: store.info("0000"), lambda: store.merge("nope"),
                 lambda: store.commit({"kind": "a"}, "x", parents=["f" * 63 + "g"]))
        for call in calls:
            with pytest.raises(vext.StoreError) as info:
                call()
            assert info.value.reason == "not_found"
        store.close()
        store.close()
        with pytest.raises(vext.StoreError, match="closed"):
            store.tree("main")


# ---------------------------------------------------------------- processes


def tree_number(i):
    """A tree that tells which commit made it: i children, each naming i."""
    return {"kind": "doc", "attributes": {"n": str(i)},
            "children": [{"kind": "p", "text": str(i % 7)} for _ in range(i % 50)] + [{"kind": "end", "text": str(i)}]}


def committer(path, write_fd, start):
    """Commits tree_number(start), tree_number(start + 1), ... and reports each
    id on the pipe once `commit` has returned; runs until killed."""
    with vext.Store(path) as store:
        os.write(write_fd, b"ready\n")
        i = start
        while True:
            commit = store.commit(tree_number(i), f"c{i}")
            os.write(write_fd, f"{i} {commit}\n".encode())
            i += 1


def fork(target, *args):
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            target(*args)
        except BaseException:
            traceback.print_exc()
            code = 1
        finally:
            os._exit(code)
    return pid


def read_lines(fd):
    data = b""
    while chunk := os.read(fd, 1 << 16):
        data += chunk
    return data.decode().splitlines()


def test_a_sigkill_at_any_instant_keeps_every_returned_commit(location):
    path = location
    rng = random.Random(24)
    kills, done, start = 0, {}, 0
    while kills < 200:
        read_fd, write_fd = os.pipe()
        pid = fork(committer, path, write_fd, start)
        os.close(write_fd)
        first = os.read(read_fd, 6)
        assert first == b"ready\n"
        time.sleep(rng.uniform(0, 0.03))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        kills += 1
        lines = read_lines(read_fd)
        os.close(read_fd)
        with vext.Store(path) as store:
            store.verify()
            for line in lines:
                i, commit = line.split()
                done[int(i)] = commit
                assert store.tree(commit) == returned(tree_number(int(i)))
            head = store.info("main")
            # The head is the last returned commit, or one whose call was cut short.
            n = int(store.tree(head.id)["attributes"]["n"])
            assert n >= max(done, default=-1)
            start = n + 1
    with vext.Store(path) as store:
        log = {c.id for c in store.log()}
        assert set(done.values()) <= log


def writer(path, write_fd, seconds, who):
    """Moves main on by one child per commit, reporting each id it got and each refusal."""
    with vext.Store(path) as store:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            head = store.head()
            tree = store.tree(head)
            tree.setdefault("children", []).append({"kind": "w", "identity": f"{who}-{len(tree['children'])}"})
            tree["attributes"]["n"] = str(len(tree["children"]))
            try:
                commit = store.commit(tree, who, parents=[head])
                os.write(write_fd, f"ok {commit} {len(tree['children'])}\n".encode())
            except vext.StoreError as e:
                assert e.reason == "branch_moved"
                os.write(write_fd, b"refused\n")


def reader(path, write_fd, seconds):
    """Reads main's head over and over; every tree it sees must be whole."""
    with vext.Store(path) as store:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            tree = store.tree(store.head())
            assert tree["attributes"]["n"] == str(len(tree.get("children", [])))
            os.write(write_fd, b"read\n")


def test_two_writers_and_two_readers_share_a_store(location):
    # Every few milliseconds a writer commits or is refused, so a few seconds
    # cover thousands of interleavings; VEXT_STORE_SHARING_SECONDS runs longer.
    seconds = float(os.environ.get("VEXT_STORE_SHARING_SECONDS", "4"))
    path = location
    with vext.Store(path) as store:
        store.commit({"kind": "doc", "attributes": {"n": "0"}}, "start")
    pipes, pids = [], []
    for target, args in ((writer, ("a",)), (writer, ("b",)), (reader, ()), (reader, ())):
        read_fd, write_fd = os.pipe()
        pids.append(fork(target, path, write_fd, seconds, *args))
        os.close(write_fd)
        pipes.append(read_fd)
    outputs = [read_lines(fd) for fd in pipes]
    statuses = [os.waitpid(pid, 0)[1] for pid in pids]
    assert statuses == [0, 0, 0, 0]
    ok = [line.split()[1:] for out in outputs[:2] for line in out if line.startswith("ok")]
    refused = sum(line == "refused" for out in outputs[:2] for line in out)
    reads = sum(len(out) for out in outputs[2:])
    assert ok and reads
    with vext.Store(path) as store:
        store.verify()
        log = [c.id for c in store.log()]
        # Each commit was built on the head it read, so main is one line through all of them.
        assert set(commit for commit, _ in ok) == set(log[:-1])
        for commit, n in ok:
            assert len(store.tree(commit)["children"]) == int(n)
    print(f"{len(ok)} commits, {refused} refused, {reads} reads")


def check_damaged(path, expected, write_fd):
    """Reads every expected commit and verifies; reports "same", "error" or "WRONG"."""
    try:
        with vext.Store(path) as store:
            trees = {commit: store.tree(commit) for commit in expected}
            store.verify()
    except vext.StoreError:
        os.write(write_fd, b"error")
        return
    os.write(write_fd, b"same" if trees == expected else b"WRONG")


def wait_for(pid, limit):
    """Waits for a child up to `limit` seconds; kills it and returns None past that."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.002)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None


def test_damaged_files_give_store_error_or_the_right_trees(tmp_path):
    path = tmp_path / "good.vext"
    expected = {}
    with vext.Store(path) as store:
        for i in range(12):
            tree = tree_number(i * 5)
            expected[store.commit(tree, f"c{i}")] = returned(tree)
    assert not os.path.exists(f"{path}-wal") or os.path.getsize(f"{path}-wal") == 0
    good = path.read_bytes()
    rng = random.Random(500)
    outcomes = {"same": 0, "error": 0}
    for case in range(500):
        data = bytearray(good)
        if case % 2:
            data = data[: rng.randrange(len(data))]
        else:
            at = rng.randrange(len(data))
            data[at] ^= 1 << rng.randrange(8)
        case_path = tmp_path / f"case{case}.vext"
        case_path.write_bytes(data)
        read_fd, write_fd = os.pipe()
        pid = fork(check_damaged, case_path, expected, write_fd)
        os.close(write_fd)
        status = wait_for(pid, 20)
        out = read_lines(read_fd)
        os.close(read_fd)
        assert status is not None, f"case {case}: a damaged store hung the reader"
        assert status == 0, f"case {case}: the reader died on a damaged store ({status})"
        assert out in (["same"], ["error"]), f"case {case}: {out}"
        outcomes[out[0]] += 1
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(f"{case_path}{suffix}"):
                os.remove(f"{case_path}{suffix}")
    assert outcomes["error"] > 0 and outcomes["same"] > 0


class TestCommand:
    def run(self, *args):
        child = subprocess.run([sys.executable, "-m", "vext", *map(str, args)], capture_output=True, text=True)
        return child.returncode, child.stdout, child.stderr

    def test_log_and_show(self, location):
        path = location
        with vext.Store(path) as store:
            c1 = store.commit({"kind": "doc", "text": "one"}, "first\nmore")
            c2 = store.commit({"kind": "doc", "text": "two"}, "second")
        status, out, err = self.run("log", path)
        assert (status, err) == (0, "")
        assert [line.split()[0] for line in out.splitlines()] == [c2[:12], c1[:12]]
        assert out.splitlines()[1].endswith(" first")
        status, out, _ = self.run("show", path, c1[:6])
        assert (status, json.loads(out)) == (0, {"kind": "doc", "text": "one"})
        status, out, _ = self.run("show", "--json", path, "main")
        shown = json.loads(out)
        assert (shown["id"], shown["parents"], shown["tree"]) == (c2, [c1], {"kind": "doc", "text": "two"})

    @pytest.mark.parametrize("args", [("log", "missing.vext"), ("show", "s.vext", "nope"), ("log", "s.vext", "x")])
    def test_trouble_is_one_line_and_status_2(self, tmp_path, args):
        with vext.Store(tmp_path / "s.vext") as store:
            store.commit({"kind": "doc"}, "one")
        status, out, err = self.run(*(tmp_path / a if a.endswith(".vext") else a for a in args))
        assert (status, out, err.count("\n")) == (2, "", 1)
        assert err.startswith("vext: ")


def test_ctrl_c_stops_a_commit_and_leaves_the_store_whole(location, tmp_path):
    path = location
    setup = (f"import vext\nstore = vext.Store({str(path)!r})\n"
             "big = {'kind': 'doc', 'children': [{'kind': 'p', 'text': str(i)} for i in range(200000)]}\n")
    where = interrupted_call(setup, "big['children'][0]['text'] += '.'\nstore.commit(big, 'x')", tmp_path)
    assert where == "commit: return _core.store_commit(self._h, tree, message, full, branch, time.time())"
    with vext.Store(path) as store:
        store.verify()
        for commit in store.log() if store.branches else ():
            assert len(store.tree(commit.id)["children"]) == 200000
