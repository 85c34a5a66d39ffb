#!/usr/bin/env python3
"""Fuzz target for the vext_py module and the vext package: bytes become
nested dicts, lists, strings, integers and a few hostile objects, fed to every
function and Repo method with every argument style. Anything but the documented exceptions,
a result of the wrong shape, or a crash is a finding.

Run it with fuzz/run.sh module SECONDS (atheris drives one_input); the test
suite replays the saved inputs in fuzz/corpus/module through one_input.
"""

import pickle
import struct
import sys

import vext
import vext_py

PanicException = None  # the module creates it on first use; found by name below
ALPHABET = ["a", "b", "a", "#", "/", "", "\x00", "\n", "é", "\u0301", "\u2028", "\ud800", "\U0001f600", '"', "\\"]
TREE_KEYS = ["kind", "identity", "label", "text", "attributes", "children"]
EXPECTED = (TypeError, ValueError, OverflowError, RecursionError, RuntimeError)


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def more(self):
        return self.pos < len(self.data)


class HostileKey(str):
    """A dict key equal to a tree key whose comparison runs user code."""

    def __new__(cls, text, action):
        self = super().__new__(cls, text)
        self.action = action
        return self

    __hash__ = str.__hash__

    def __eq__(self, other):
        self.action()
        return str.__eq__(self, other)


class Index:
    """An object with an integer index, or one whose __index__ raises."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Decoder:
    def __init__(self, data):
        self.r = Reader(data)
        self.repo = None
        self.ids = []
        self.callbacks = 0

    def string(self):
        head = self.r.byte()
        if head >= 0xF8:
            cp = (self.r.byte() << 8 | self.r.byte()) * (head - 0xF7) % 0x110000
            return chr(cp)
        return "".join(ALPHABET[self.r.byte() % len(ALPHABET)] for _ in range(head % 4))

    def integer(self):
        choices = [0, 1, -1, 2**63, 2**64 - 1, 2**64, -(2**64), True]
        b = self.r.byte()
        if b % 3 == 0 and self.ids:
            return self.ids[self.r.byte() % len(self.ids)]
        if b % 3 == 1:
            return choices[self.r.byte() % len(choices)]
        return self.r.byte() | self.r.byte() << 8

    def callback(self):
        """User code run in the middle of a conversion."""
        b = self.r.byte()

        def action():
            self.callbacks += 1
            if self.callbacks > 50:
                return
            try:
                if b % 4 == 0:
                    raise KeyError("from a key")
                if b % 4 == 1 and self.repo is not None:
                    self.repo.log()
                    len(self.repo)
                elif b % 4 == 2 and self.repo is not None:
                    self.repo.commit("re-entered", [], {})
            except RuntimeError:
                pass  # the borrow conflict this is meant to provoke

        return action

    def value(self, depth=0):
        b = self.r.byte() % 16
        if depth > 6:
            b = b % 4
        if b == 0:
            return None
        if b == 1:
            return self.integer()
        if b in (2, 3):
            return self.string()
        if b in (4, 5, 6):
            return self.tree(depth + 1)
        if b == 7:
            return [self.value(depth + 1) for _ in range(self.r.byte() % 4)]
        if b == 8:
            return tuple(self.value(depth + 1) for _ in range(self.r.byte() % 3))
        if b == 9:
            return {self.string(): self.value(depth + 1) for _ in range(self.r.byte() % 3)}
        if b == 10:
            return Index(self.integer() if self.r.byte() % 2 else ValueError("index"))
        if b == 11:
            return b"\x00" * (self.r.byte() % 3)
        if b == 12:
            return 1.5
        if b == 13:
            return range(self.r.byte() % 3)
        return iter([self.integer()])

    def tree(self, depth=0):
        node = {}
        mask = self.r.byte() | self.r.byte() << 8
        for i, key in enumerate(TREE_KEYS):
            if not mask & (1 << i):
                continue
            kind = mask >> 8
            if key == "attributes" and kind & 1:
                node[key] = {self.string(): self.string() for _ in range(self.r.byte() % 4)}
            elif key == "children" and kind & 2 and depth < 12:
                node[key] = [self.tree(depth + 1) for _ in range(self.r.byte() % 4)]
            elif key in ("kind", "identity", "label", "text") and kind & 4:
                node[key] = self.string()
            else:
                node[key] = self.value(depth + 1)
        if mask & 0x80 and depth < 3:
            link = self.tree(12)
            for _ in range(self.r.byte() % 8 * 64):
                link = {"kind": "n", "children": [link]}
            node["children"] = [link]
        if mask & 0x40:
            name = TREE_KEYS[self.r.byte() % 6]
            node.pop(name, None)  # so that storing the hostile key compares nothing
            node[HostileKey(name, self.callback())] = self.string()
        return node

    def commit_id(self):
        """Mostly a stored id; sometimes any integer or any value."""
        b = self.r.byte()
        if self.ids and b % 4:
            return self.ids[self.r.byte() % len(self.ids)]
        return self.integer() if b % 8 else self.value()

    def call(self, fn, params, arg=None):
        """Calls fn with the arguments bound in one of several styles, some
        wrong; `arg` makes one argument (a tree unless given)."""
        arg = arg or (lambda: self.value() if self.r.byte() % 8 == 0 else self.tree())
        style = self.r.byte() % 8
        args = [arg() for _ in params]
        if style == 0:
            return fn(*args[:-1]) if args else fn(1)
        if style == 1:
            return fn(*args, arg())
        if style == 2:
            return fn(**dict(zip(reversed(params), reversed(args))))
        if style == 3 and args:
            return fn(*args, **{params[0]: args[0]})
        if style == 4:
            return fn(*args, bogus=1)
        return fn(*args)


def panic_type():
    global PanicException
    if PanicException is None:
        try:
            vext_py.Repo().tree_at(1)
        except BaseException as e:  # noqa: BLE001 - looking for the class itself
            if type(e).__name__ == "PanicException":
                PanicException = type(e)
    return PanicException


def check_change_list(result):
    assert isinstance(result, list)
    for change in result:
        assert list(change) == ["kind", "elem_type", "id"]
        assert change["kind"] in ("Added", "Removed", "Modified")


def fuzz_functions(d):
    try:
        result = d.call(vext_py.diff_trees, ["a", "b"])
        check_change_list(result)
    except (*EXPECTED, KeyError):
        pass
    tree = d.tree()
    try:
        assert vext_py.diff_trees(tree, tree) == [] or d.callbacks
        merged, count = vext_py.merge_trees(tree, tree, tree)
        if not d.callbacks:
            assert count == 0 and vext_py.diff_trees(tree, merged) == []
            assert vext_py.merge_trees(merged, merged, merged) == (merged, 0)
    except (*EXPECTED, KeyError):
        pass
    try:
        merged, count = d.call(vext_py.merge_trees, ["base", "ours", "theirs"])
        assert isinstance(merged, dict) and isinstance(count, int) and count >= 0
    except (*EXPECTED, KeyError):
        pass


def fuzz_engine(d):
    """vext.diff, vext.apply and vext.merge; with no user code run during the
    conversions, the diff is an edit script and a side that changed nothing
    takes the other whole."""
    try:
        a, b = d.tree(), d.tree()
        b_as_returned = vext_py.merge_trees(b, b, b)[0]
        changes = vext.diff(a, b)
        if not d.callbacks:
            assert vext.apply(a, changes) == b_as_returned
            assert vext.merge(a, b, a) == (b_as_returned, ())
            assert vext.merge(a, a, b) == (b_as_returned, ())
        assert all(str(c) and eval(repr(c), vars(vext)) == c for c in changes if c.field != "node")
        tree, conflicts = d.call(vext.merge, ["base", "ours", "theirs"])
        assert isinstance(tree, dict) and all(isinstance(c, vext.Conflict) and str(c) for c in conflicts)
        assert isinstance(vext.apply(d.tree(), changes), dict)
    except (*EXPECTED, KeyError):
        pass


def fuzz_repo(d):
    Repo = vext_py.Repo
    panic = panic_type()
    d.repo = repo = Repo()
    for _ in range(1 + d.r.byte() % 10):
        before = len(repo)
        op = d.r.byte() % 9
        try:
            if op <= 2:
                parents = [d.commit_id() for _ in range(d.r.byte() % 3)] if op else d.value()
                message = d.string() if d.r.byte() % 4 else d.value()
                cid = repo.commit(message, parents, d.tree())
                assert isinstance(cid, int) and 0 <= cid < 2**64
                d.ids.append(cid)
                assert len(repo) in (before, before + 1)
            elif op == 3:
                rows = d.call(repo.diff, ["a", "b"], d.commit_id)
                assert all(isinstance(p, list) and len(row) == 3 for row in rows for p in row[:1])
            elif op == 4:
                tree, conflicts = d.call(repo.merge, ["ours", "theirs"], d.commit_id)
                assert isinstance(tree, dict) and all(isinstance(c, str) for c in conflicts)
            elif op in (5, 6):
                params = ["src", "dst"] if op == 5 else ["target", "dst"]
                fn = repo.cherry_pick if op == 5 else repo.revert
                assert isinstance(d.call(fn, params, d.commit_id), dict)
            elif op == 7:
                assert isinstance(d.call(repo.tree_at, ["commit"], d.commit_id), dict)
            else:
                rows = repo.log()
                assert len({cid for cid, _ in rows}) == len(rows) <= len(repo)
                assert repr(repo) == f"Repo(commits={len(repo)})"
        except (*EXPECTED, KeyError):
            assert len(repo) == before  # a failed call stores no commit
        except BaseException as e:
            if panic is None or not isinstance(e, panic) or op <= 2 or op == 8:
                raise
            assert str(e) == "no entry found for key"
            assert len(repo) == before


def _crc_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
        table.append(c)
    return table


CRC_TABLE = _crc_table()


def seal(data):
    """Gives a state body a valid header and CRC-32C, so that the checks
    behind the checksum see the fuzzer's bytes."""
    data = b"\x89VEXTREP" + struct.pack("<IQ", 1, 20 + len(data) + 4) + data
    crc = 0xFFFFFFFF
    for byte in data:
        crc = CRC_TABLE[(crc ^ byte) & 0xFF] ^ (crc >> 8)
    return data + struct.pack("<I", crc ^ 0xFFFFFFFF)


class Forged:
    """Pickles as a Repo restored from any state."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return (vext_py.Repo, (), self.state)


def observe(repo):
    rows = repo.log()
    return rows, repr(repo), [repo.tree_at(cid) for cid, _ in rows]


def fuzz_state(d):
    """A pickle round trip of the fuzzed repository must change nothing; the
    rest of the input (raw, sealed, or inserted into or written over that
    state and sealed) must load or
    raise ValueError, and what loads must work."""
    repo = getattr(d, "repo", None)
    if repo is None:
        return
    saved = repo.__reduce__()[2]
    twin = pickle.loads(pickle.dumps(repo))
    assert observe(twin) == observe(repo) and len(twin) == len(repo)
    mode = d.r.byte() % 4
    rest = bytes(d.r.data[d.r.pos:])
    if mode == 0:
        state = rest
    elif mode == 1:
        state = seal(rest)
    else:
        at = (d.r.byte() * 256 + d.r.byte()) % (len(saved) - 23)
        body = saved[20:-4]
        state = seal(body[:at] + rest + body[at + (mode - 2) * len(rest):])
    try:
        loaded = pickle.loads(pickle.dumps(Forged(state)))
    except ValueError as e:
        assert str(e).startswith("Repo.__setstate__(): ")
        return
    rows, _, _ = observe(loaded)
    assert len(rows) <= len(loaded)
    ids = [cid for cid, _ in rows] or [0]
    for a in ids[:3]:
        for b in ids[-2:]:
            try:
                loaded.diff(a, b)
                loaded.merge(a, b)
                loaded.cherry_pick(a, b)
            except ValueError:
                pass
            except BaseException as e:
                if not isinstance(e, panic_type()):
                    raise
    loaded.commit("more", ids[:1], {"kind": "doc", "children": [{"kind": "p", "text": "x"}]})
    again = pickle.loads(pickle.dumps(loaded))
    assert observe(again) == observe(loaded)


def one_input(data):
    d = Decoder(data)
    if d.r.byte() % 2:
        fuzz_functions(d)
    fuzz_repo(d)
    if d.r.more():
        fuzz_functions(d)
    if d.r.more():
        fuzz_engine(d)
    fuzz_state(d)


def main():
    import atheris

    sys.setrecursionlimit(10_000)
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
