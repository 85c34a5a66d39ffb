"""Every function and method, on its success and on its error paths, keeps
the reference counts of its arguments and the process's memory flat."""

import gc
import signal

import pytest

from calls import ERRORS, SUCCESS, make_repo, raising
from conftest import chain
import vext
from vext_py import Repo, diff_trees, merge_trees


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


def test_interrupted_calls_do_not_leak(no_leaks):
    class Alarm(Exception):
        pass

    def ring(*_):
        raise Alarm

    wide = {"kind": "doc", "children": [{"kind": "p", "text": str(i % 7)} for i in range(100_000)]}
    shifted = {"kind": "doc", "children": wide["children"][1:]}

    def interrupted():
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        try:
            while True:
                vext.merge(wide, shifted, wide)
        except Alarm:
            pass

    previous = signal.signal(signal.SIGALRM, ring)
    try:
        no_leaks(interrupted, (), repeat=10, traced_repeat=5)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_dropping_a_repo_frees_it():
    tree = {"kind": "doc", "children": [{"kind": "p", "identity": "1", "text": "one"}]}
    before = len(gc.get_objects())
    for _ in range(100):
        repo = Repo()
        repo.commit("m", [], tree)
        del repo
    assert len(gc.get_objects()) - before < 50
