"""Every function and method, on its success and on its error paths, keeps
the reference counts of its arguments and the process's memory flat."""

import pickle

import pytest

from conftest import chain
from vext_py import Repo, diff_trees, merge_trees

BASE = {"kind": "doc", "identity": "d", "attributes": {"v": "1"},
        "children": [{"kind": "p", "identity": str(i), "text": "t", "attributes": {"x": "a", "y": "é"}} for i in range(8)]}
OURS = {"kind": "doc", "identity": "d", "attributes": {"v": "2"},
        "children": [{"kind": "p", "identity": str(i), "text": "o", "attributes": {"x": "b"}} for i in range(6)]
        + [{"kind": "q", "identity": "new", "children": [{"kind": "r"}]}]}
THEIRS = {"kind": "doc", "identity": "d",
          "children": [{"kind": "p", "identity": str(i), "text": "h", "attributes": {"x": "c"}} for i in range(1, 9)]}


def make_repo():
    repo = Repo()
    base = repo.commit("base", [], BASE)
    ours = repo.commit("ours", [base], OURS)
    theirs = repo.commit("theirs", [base], THEIRS)
    return repo, base, ours, theirs


REPO, C_BASE, C_OURS, C_THEIRS = make_repo()
PANIC = type(pytest.raises(BaseException, REPO.tree_at, 1).value)
UNKNOWN = 12345


class Index:
    def __index__(self):
        return C_BASE


def raising(exc, fn):
    """Wraps fn so that the call must raise exc; the wrapper is what runs."""

    def call(*args, **kwargs):
        with pytest.raises(exc):
            fn(*args, **kwargs)

    return call


def kw(fn, **fixed):
    return lambda *args: fn(*args, **fixed)


SUCCESS = {
    "diff_trees": (diff_trees, (BASE, OURS)),
    "diff_trees by keyword": (lambda a, b: diff_trees(b=b, a=a), (BASE, THEIRS)),
    "merge_trees": (merge_trees, (BASE, OURS, THEIRS)),
    "Repo()": (lambda: Repo(), ()),
    "commit": (REPO.commit, ("ours", [C_BASE], OURS)),
    "commit with a tuple of indexables": (REPO.commit, ("ours", (Index(),), OURS)),
    "diff": (REPO.diff, (C_BASE, C_OURS)),
    "merge": (REPO.merge, (C_OURS, C_THEIRS)),
    "cherry_pick": (REPO.cherry_pick, (C_OURS, C_BASE)),
    "revert": (REPO.revert, (C_OURS, C_OURS)),
    "log": (REPO.log, ()),
    "tree_at": (REPO.tree_at, (C_THEIRS,)),
    "len": (len, (REPO,)),
    "repr": (repr, (REPO,)),
    "pickle round trip": (lambda r: pickle.loads(pickle.dumps(r)), (REPO,)),
    "__setstate__ from a bytearray": (lambda s: Repo().__setstate__(s), (bytearray(REPO.__reduce__()[2]),)),
}

ERRORS = {
    "diff_trees binding": (raising(TypeError, diff_trees), (BASE,)),
    "diff_trees extra keyword": (raising(TypeError, kw(diff_trees, c=1)), (BASE, OURS)),
    "diff_trees bad grandchild": (raising(TypeError, diff_trees), ({"children": [{"children": [{"identity": 5}]}]}, BASE)),
    "diff_trees bad attribute": (raising(TypeError, diff_trees), (BASE, {"attributes": {"a": "1", "b": None}})),
    "diff_trees surrogate": (raising(UnicodeEncodeError, diff_trees), (BASE, {"text": "\ud800"})),
    "merge_trees bad theirs": (raising(TypeError, merge_trees), (BASE, OURS, [BASE])),
    "merge_trees binding": (raising(TypeError, kw(merge_trees, base=BASE)), (BASE, OURS, THEIRS)),
    "Repo() with an argument": (raising(TypeError, Repo), (1,)),
    "commit message": (raising(TypeError, REPO.commit), (b"m", [], BASE)),
    "commit parents str": (raising(TypeError, REPO.commit), ("m", "ab", BASE)),
    "commit parents not a sequence": (raising(TypeError, REPO.commit), ("m", {1: 2}, BASE)),
    "commit negative parent": (raising(OverflowError, REPO.commit), ("m", [C_BASE, -1], BASE)),
    "commit bad tree": (raising(TypeError, REPO.commit), ("m", [C_BASE], {"children": [BASE, 3]})),
    "diff unknown": (raising(PANIC, REPO.diff), (C_BASE, UNKNOWN)),
    "diff too large": (raising(OverflowError, REPO.diff), (C_BASE, 2**64)),
    "diff not an int": (raising(TypeError, REPO.diff), ("x", C_BASE)),
    "merge unknown": (raising(PANIC, REPO.merge), (UNKNOWN, C_BASE)),
    "cherry_pick misfit": (raising(ValueError, REPO.cherry_pick), (C_OURS, C_OURS)),
    "cherry_pick unknown": (raising(PANIC, REPO.cherry_pick), (C_OURS, UNKNOWN)),
    "revert misfit": (raising(ValueError, REPO.revert), (C_OURS, C_THEIRS)),
    "revert unknown": (raising(PANIC, REPO.revert), (UNKNOWN, C_BASE)),
    "log with an argument": (raising(TypeError, REPO.log), (1,)),
    "tree_at unknown": (raising(PANIC, REPO.tree_at), (UNKNOWN,)),
    "tree_at binding": (raising(TypeError, kw(REPO.tree_at, commit=1)), (C_BASE,)),
    "__setstate__ not bytes": (raising(TypeError, Repo().__setstate__), ("state",)),
    "__setstate__ damaged": (raising(ValueError, Repo().__setstate__), (REPO.__reduce__()[2][:-1],)),
    "__setstate__ on a history": (raising(ValueError, REPO.__setstate__), (REPO.__reduce__()[2],)),
}


@pytest.mark.parametrize("name", list(SUCCESS))
def test_success_paths_do_not_leak(name, no_leaks):
    fn, args = SUCCESS[name]
    no_leaks(fn, args, repeat=3_000)


@pytest.mark.parametrize("name", list(ERRORS))
def test_error_paths_do_not_leak(name, no_leaks):
    fn, args = ERRORS[name]
    no_leaks(fn, args, repeat=3_000)


def test_borrow_conflicts_do_not_leak(no_leaks):
    repo, base, ours, _ = make_repo()

    class Key(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                repo.tree_at(base)
            with pytest.raises(RuntimeError, match="Already borrowed"):
                repo.commit("inner", [], {})
            return str.__eq__(self, other)

    tree = {"kind": "doc", Key("text"): "x"}
    no_leaks(repo.commit, ("outer", [ours], tree), repeat=1_000)


def test_too_deep_trees_do_not_leak(no_leaks):
    deep = chain(200_001)
    no_leaks(raising(RecursionError, diff_trees), (deep, {}), repeat=3, traced_repeat=3)


def test_repeated_large_conversions_do_not_leak(no_leaks):
    wide = {"kind": "r", "children": [{"kind": "c", "identity": str(i), "text": "x" * 50} for i in range(2_000)]}
    no_leaks(merge_trees, (wide, wide, wide), repeat=40, traced_repeat=20)
    repo = Repo()
    first = repo.commit("w", [], wide)
    no_leaks(repo.tree_at, (first,), repeat=40, traced_repeat=20)

