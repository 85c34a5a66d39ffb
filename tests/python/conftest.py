import gc
import resource
import sys

import pytest


def chain(depth, leaf_text=""):
    """Returns a tree dict nested `depth` levels deep (the root is level 1)."""
    node = {"kind": "n", "text": leaf_text}
    for _ in range(depth - 1):
        node = {"kind": "n", "children": [node]}
    return node


def chain_depth(tree):
    depth = 0
    while tree is not None:
        depth += 1
        kids = tree.get("children")
        tree = kids[0] if kids else None
    return depth


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def assert_no_leaks(call, args, repeat=10_000, rss_slack_kib=4096):
    """Runs call(*args) many times; reference counts of the arguments and the
    process's memory must stay flat."""
    for _ in range(200):
        call(*args)
    gc.collect()
    before_refs = [sys.getrefcount(a) for a in args]
    before_rss = rss_kib()
    for _ in range(repeat):
        call(*args)
    gc.collect()
    assert [sys.getrefcount(a) for a in args] == before_refs
    assert rss_kib() - before_rss < rss_slack_kib


@pytest.fixture
def no_leaks():
    return assert_no_leaks
