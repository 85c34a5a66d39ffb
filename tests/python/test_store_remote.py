"""The store on PostgreSQL beside SQLite: hostile strings, racing writers, a
role that may only read, passwords kept out of messages."""

import os

import pytest

import vext
from conftest import new_schema, pg_sql, with_option
from test_store import fork, returned

HOSTILE = ["'", '"', "\\", "\\'", "'; DROP TABLE vext_refs; --", '"); DELETE FROM vext_objects; --', "$1", "%s",
           "\\x00", "ü€𝄞 \u2028", "x" * 255]
LONG = "'\\\"; DROP TABLE vext_commits; --" * 5000


def hostile_tree():
    kids = [{"kind": s, "identity": s, "text": s, "attributes": {"a" + s: s}} for s in HOSTILE + ["a\x00b"]]
    return {"kind": "doc", "text": LONG, "attributes": {"q": "'", "nul": "\x00"}, "children": kids}


class TestHostileInput:
    def test_strings_round_trip_exactly(self, location):
        tree = hostile_tree()
        with vext.Store(location) as store:
            commits = {}
            for name in HOSTILE:
                commits[name] = store.commit(tree, name + LONG + "\x00", branch=name)
            assert store.branches == commits
            for name, commit in commits.items():
                assert store.tree(name) == returned(tree)
                assert store.info(commit).message == name + LONG + "\x00"
            for bad in ("a\x00b", "", "x" * 256, "tab\there"):
                with pytest.raises(vext.StoreError) as info:
                    store.commit(tree, "m", branch=bad)
                assert info.value.reason == "bad_argument"
            assert store.verify().branches == len(HOSTILE)


def racer(location, rounds, ready_fd, go_fd, result_fd, who):
    """Each round: reads the head, says so, waits for the start, and commits on that head."""
    with vext.Store(location) as store:
        for r in range(rounds):
            head = store.head()
            os.write(ready_fd, b"r")
            os.read(go_fd, 1)
            try:
                commit = store.commit({"kind": "doc", "text": f"{who}{r}"}, f"{who}{r}", parents=[head])
                os.write(result_fd, f"won {commit}\n".encode())
            except vext.StoreError as e:
                os.write(result_fd, f"lost {e.reason}\n".encode())


def test_two_clients_racing_on_one_branch_one_wins_each_round(location):
    rounds = 40
    with vext.Store(location) as store:
        store.commit({"kind": "doc"}, "start")
    ready_r, ready_w = os.pipe()
    pids, go, results = [], [], []
    for who in "ab":
        go_r, go_w = os.pipe()
        result_r, result_w = os.pipe()
        pids.append(fork(racer, location, rounds, ready_w, go_r, result_w, who))
        os.close(go_r)
        os.close(result_w)
        go.append(go_w)
        results.append(result_r)
    os.close(ready_w)
    won = []
    for _ in range(rounds):
        assert os.read(ready_r, 1) + os.read(ready_r, 1) == b"rr"
        for fd in go:
            os.write(fd, b"g")
        outcome = sorted(os.read(fd, 200).decode().split() for fd in results)
        assert outcome[0] == ["lost", "branch_moved"] and outcome[1][0] == "won", outcome
        won.append(outcome[1][1])
    assert [os.waitpid(pid, 0)[1] for pid in pids] == [0, 0]
    with vext.Store(location) as store:
        store.verify()
        assert [c.id for c in store.log()][:-1] == won[::-1]


def test_a_read_only_role_reads_everything_and_writes_nothing(postgres_server):
    url, schema = new_schema(postgres_server)
    role = f"ro_{schema}"
    with vext.Store(url) as store:
        c1 = store.commit({"kind": "doc", "text": "one"}, "one")
        store.branch("draft")
        c2 = store.commit({"kind": "doc", "text": "one", "children": [{"kind": "p"}]}, "two", branch="draft")
        c3 = store.commit({"kind": "doc", "text": "three"}, "three")
        before = (store.branches, store.verify())
    pg_sql(postgres_server, f"CREATE ROLE {role} LOGIN; GRANT USAGE ON SCHEMA {schema} TO {role}; "
                            f"GRANT SELECT ON ALL TABLES IN SCHEMA {schema} TO {role}")
    try:
        with vext.Store(with_option(url, "user", role)) as ro:
            assert ro.tree(c3) == {"kind": "doc", "text": "three"}
            assert [c.id for c in ro.log()] == [c3, c1]
            assert ro.info(c2[:6]).message == "two"
            assert ro.diff(c1, c2)
            assert ro.head("draft") == ro.resolve("draft") == c2
            assert (ro.branches, ro.verify()) == before
            writes = (lambda: ro.commit({"kind": "x"}, "x"), lambda: ro.branch("new"), lambda: ro.reset("draft", c1),
                      lambda: ro.delete_branch("draft"), lambda: ro.merge("draft"))
            for write in writes:
                with pytest.raises(vext.StoreError, match="permission denied") as info:
                    write()
                assert info.value.reason == "io"
                assert (ro.branches, ro.verify()) == before
        empty_url, empty = new_schema(postgres_server)
        pg_sql(postgres_server, f"GRANT USAGE ON SCHEMA {empty} TO {role}")
        with pytest.raises(vext.StoreError, match="permission denied"):
            vext.Store(with_option(empty_url, "user", role))
        pg_sql(postgres_server, f"DROP SCHEMA {empty} CASCADE")
    finally:
        pg_sql(postgres_server, f"DROP SCHEMA {schema} CASCADE; DROP OWNED BY {role}; DROP ROLE {role}")


def test_a_password_never_shows(pg_location):
    secret = "hunter2-s3cret"
    with vext.Store(with_option(pg_location, "password", secret)) as store:
        assert secret not in repr(store) and secret not in store.path
        with pytest.raises(vext.StoreError) as info:
            store.tree("nope")
        assert secret not in str(info.value)
    host = pg_location.split("host=")[1].split("&")[0]
    for bad in (f"postgresql://vext:{secret}@/no_such_db?host={host}",
                f"postgresql://no_user:{secret}@/postgres?host={host}",
                f"postgresql://vext:{secret}@[bad",
                f"postgresql://vext:{secret}@/postgres?host={host}&bogus={secret}"):
        with pytest.raises(vext.StoreError) as info:
            vext.Store(bad)
        assert secret not in str(info.value) and str(info.value).startswith("postgresql://")
