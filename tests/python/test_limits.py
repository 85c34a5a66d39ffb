"""Hostile sizes and memory exhaustion: a failure surfaces as a Python
exception, never as a crash, and a failed commit leaves nothing behind."""

import sys

import vext_py


class ClaimsLength:
    """A sequence whose length is only a claim; it yields two ids."""

    def __init__(self, claimed, ids):
        self.claimed, self.ids = claimed, ids

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.ids[i]


def test_parents_length_is_only_a_capacity_hint():
    repo = vext_py.Repo()
    root = repo.commit("root", [], {})
    for claimed in (0, 2, 10**9, 2**62, sys.maxsize):
        cid = repo.commit("m", ClaimsLength(claimed, [root, root]), {})
        assert [m for _, m in repo.log()] == ["m", "root"]
    assert len(repo) == 2  # the same commit each time
