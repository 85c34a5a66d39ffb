import inspect

import pytest

from vext_py import diff_trees

BAD_CALLS = [
    (lambda: diff_trees({}, {}, {}), "diff_trees() takes 2 positional arguments but 3 were given"),
    (lambda: diff_trees({}), "diff_trees() missing 1 required positional argument: 'b'"),
    (lambda: diff_trees(), "diff_trees() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: diff_trees({}, a={}), "diff_trees() got multiple values for argument 'a'"),
    (lambda: diff_trees(a={}, b={}, c={}), "diff_trees() got an unexpected keyword argument 'c'"),
    (lambda: diff_trees({}, {}, b={}), "diff_trees() got multiple values for argument 'b'"),
]


@pytest.mark.parametrize(("call", "message"), BAD_CALLS)
def test_bad_arguments(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_unexpected_keyword_is_reported_before_missing_ones():
    with pytest.raises(TypeError) as info:
        diff_trees(x=1)
    assert str(info.value) == "diff_trees() got an unexpected keyword argument 'x'"


def test_signature_is_introspectable():
    assert list(inspect.signature(diff_trees).parameters) == ["a", "b"]
