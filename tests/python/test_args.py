"""Binding: every function's messages for bad calls and bad arguments, in one
table."""

import inspect

import pytest

from vext_py import Repo, diff_trees, merge_trees

# (call, exception, message or None); each call gets a fresh Repo, which a
# refused call must leave empty.
BAD_CALLS = [
    (lambda r: diff_trees({}, {}, {}), TypeError, "diff_trees() takes 2 positional arguments but 3 were given"),
    (lambda r: diff_trees({}), TypeError, "diff_trees() missing 1 required positional argument: 'b'"),
    (lambda r: diff_trees(), TypeError, "diff_trees() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda r: diff_trees({}, a={}), TypeError, "diff_trees() got multiple values for argument 'a'"),
    (lambda r: diff_trees(a={}, b={}, c={}), TypeError, "diff_trees() got an unexpected keyword argument 'c'"),
    (lambda r: diff_trees({}, {}, b={}), TypeError, "diff_trees() got multiple values for argument 'b'"),
    # An unexpected keyword is reported before missing arguments.
    (lambda r: diff_trees(x=1), TypeError, "diff_trees() got an unexpected keyword argument 'x'"),
    (lambda r: merge_trees({}, {}), TypeError, "merge_trees() missing 1 required positional argument: 'theirs'"),
    (lambda r: merge_trees({}, {}, {}, {}), TypeError, "merge_trees() takes 3 positional arguments but 4 were given"),
    (lambda r: merge_trees({}, base={}), TypeError, "merge_trees() got multiple values for argument 'base'"),
    (lambda r: merge_trees(), TypeError,
     "merge_trees() missing 3 required positional arguments: 'base', 'ours', and 'theirs'"),
    (lambda r: Repo(1), TypeError, "Repo.__new__() takes 0 positional arguments but 1 was given"),
    (lambda r: Repo(x=1), TypeError, "Repo.__new__() got an unexpected keyword argument 'x'"),
    (lambda r: r.commit(5, [], {}), TypeError, "argument 'message': 'int' object cannot be converted to 'PyString'"),
    (lambda r: r.commit("m", "ab", {}), TypeError, "argument 'parents': Can't extract `str` to `Vec`"),
    (lambda r: r.commit("m", 5, {}), TypeError, "argument 'parents': 'int' object cannot be converted to 'Sequence'"),
    (lambda r: r.commit("m", {1: 2}, {}), TypeError,
     "argument 'parents': 'dict' object cannot be converted to 'Sequence'"),
    (lambda r: r.commit("m", [], []), TypeError, "'list' object cannot be converted to 'PyDict'"),
    (lambda r: r.commit("m", []), TypeError, "Repo.commit() missing 1 required positional argument: 'tree'"),
    (lambda r: r.diff(1, 2, 3), TypeError, "Repo.diff() takes 2 positional arguments but 3 were given"),
    (lambda r: r.merge(ours=1, mine=2), TypeError, "Repo.merge() got an unexpected keyword argument 'mine'"),
    (lambda r: r.cherry_pick(1, src=2), TypeError, "Repo.cherry_pick() got multiple values for argument 'src'"),
    (lambda r: r.revert(), TypeError, "Repo.revert() missing 2 required positional arguments: 'target' and 'dst'"),
    (lambda r: r.tree_at(-1), OverflowError, None),
    (lambda r: r.tree_at(2**64), OverflowError, None),
    (lambda r: r.commit("m", [-1], {}), OverflowError, None),
]


@pytest.mark.parametrize(("call", "exc", "message"), BAD_CALLS)
def test_bad_calls(call, exc, message):
    repo = Repo()
    with pytest.raises(exc) as info:
        call(repo)
    if message is not None:
        assert str(info.value) == message
    assert len(repo) == 0


def test_signature_is_introspectable():
    assert list(inspect.signature(diff_trees).parameters) == ["a", "b"]
