"""Pickle, copy and deepcopy of a Repo: the copy is the same history with
every id, and a bad state is refused with a ValueError naming the fault."""
import copy
import pickle
import struct
import zlib
from pathlib import Path

import pytest

from vext_py import Repo


def doc(texts, extra=()):
    kids = [{"kind": "p", "identity": str(i), "text": t, "attributes": [("n", str(i))]} for i, t in enumerate(texts)]
    return {"kind": "doc", "label": "L", "children": kids + list(extra)}


def history():
    repo = Repo()
    base = ["t"] * 600
    a = repo.commit("root", [], doc(base, [{"kind": "deep", "children": [{"kind": "x", "text": "leaf"}]}]))
    b = repo.commit("ours", [a], doc(["b"] + base[1:]))
    c = repo.commit("theirs", [a], doc(base[:-1] + ["c"]))
    repo.merge(b, c)  # a stored section that no commit holds
    m = repo.commit("merge", [b, c], doc(["b"] + base[1:-1] + ["c"]))
    repo.commit("orphan", [2**64 - 1], {"kind": ""})
    repo.commit("tip", [m], doc(["tip"] * 3))
    return repo, [a, b, c, m]


def observe(repo, ids):
    """Everything Python can ask of a repository about the given commits."""
    out = [len(repo), repr(repo), repo.log()]
    for x in ids:
        out.append(repo.tree_at(x))
        for y in ids:
            out += [repo.diff(x, y), repo.merge(x, y)]
            for op in (repo.cherry_pick, repo.revert):
                try:
                    out.append(op(x, y))
                except ValueError as exc:
                    out.append(str(exc))
    return out


COPIERS = [pytest.param(lambda r, p=p: pickle.loads(pickle.dumps(r, protocol=p)), id=f"pickle{p}")
           for p in range(2, pickle.HIGHEST_PROTOCOL + 1)] + [
    pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")]


@pytest.mark.parametrize("copier", COPIERS)
def test_copy_is_the_same_history_and_then_independent(copier):
    original, ids = history()
    twin = copier(original)
    assert type(twin) is Repo and twin is not original
    assert observe(twin, ids) == observe(original, ids)
    head = original.log()[0][0]
    mine = twin.commit("on the copy", [head], doc(["new"]))
    assert len(twin) == len(original) + 1
    assert mine not in [i for i, _ in original.log()]
    original.commit("on the original", [head], doc(["other"]))
    assert twin.log()[0] == (mine, "on the copy")
    assert copier(Repo()).log() == [] and len(copier(Repo())) == 0


def test_pickle_keeps_identity_inside_containers_and_survives_a_file(tmp_path):
    repo, ids = history()
    path = tmp_path / "history.pickle"
    path.write_bytes(pickle.dumps({"a": repo, "b": [repo]}))
    loaded = pickle.loads(path.read_bytes())
    assert loaded["a"] is loaded["b"][0]
    assert loaded["a"].log() == repo.log()
    # The state is deterministic: saving the copy gives the same bytes.
    assert repo.__reduce__()[2] == loaded["a"].__reduce__()[2]


def test_class_surface_is_unchanged():
    public = [n for n in dir(Repo) if not n.startswith("__")]
    assert public == ["cherry_pick", "commit", "diff", "log", "merge", "revert", "tree_at"]
    with pytest.raises(TypeError):
        Repo(b"state")
    with pytest.raises(TypeError):
        Repo(state=b"")


def test_a_history_saved_in_the_first_format_loads_with_every_id_and_result():
    """The first format kept one level of lists above the leaves. The file
    holds that state of history(), made by the build that wrote it, with its
    log and commits; it loads in today's shape and is saved in today's."""
    with open(Path(__file__).parent / "data" / "history-v1.pickle", "rb") as f:
        old, log, ids = pickle.load(f)
    assert old.log() == log
    fresh, fresh_ids = history()
    # Ids differ with the clock; every tree, diff, merge and error does not.
    assert observe(old, ids)[3:] == observe(fresh, fresh_ids)[3:]
    state = old.__reduce__()[2]
    assert state[8:12] == struct.pack("<I", 2)
    assert observe(pickle.loads(pickle.dumps(old)), ids) == observe(old, ids)


def reseal(body):
    """Seals a state body (everything after the 20-byte header) as the
    format does, so that the checks behind the checksum are reached."""
    head = b"\x89VEXTREP" + struct.pack("<IQ", 2, 20 + len(body) + 4)
    data = head + body
    return data + struct.pack("<I", crc32c(data))


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


class TestBadState:
    STATE = Repo().__reduce__()[2]

    @pytest.mark.parametrize("state, message", [
        (b"", "truncated"),
        (b"PK\x03\x04 something else entirely", "wrong magic number"),
        (STATE[:8] + b"\x09" + STATE[9:], "unsupported format version 9"),
        (STATE[:-1], "truncated"),
        (STATE + b"\0", "trailing bytes"),
        (STATE[:-1] + bytes([STATE[-1] ^ 1]), "checksum mismatch"),
        (reseal(b"\x00\x00\x00\x00\x00\x07"), "inconsistent structure"),
        (reseal(b"\x00\x01\x00\x00\x00\x00\x00"), "inconsistent structure"),
        (reseal(b"\x00\x00\x00\x00\x01"), "head is not a stored commit"),
        (reseal(b"\x00\x00\x00\x00\x00\x00"), "left after the head"),
    ], ids=lambda v: v if isinstance(v, str) else "")
    def test_names_the_fault_and_leaves_the_repo_empty(self, state, message):
        repo = Repo()
        with pytest.raises(ValueError, match=message):
            repo.__setstate__(state)
        assert len(repo) == 0 and repo.log() == []
        repo.__setstate__(self.STATE)  # still usable afterwards

    def test_refuses_strings_that_are_not_utf8(self):
        # Every string of a history came from a str; one that cannot become a
        # str again would make log() and tree_at() fail later.
        repo = Repo()
        repo.commit("M\u00e9", [], {"kind": "doc"})
        state = repo.__reduce__()[2]
        assert state.count("\u00e9".encode()) == 1
        broken = reseal(state[20:-4].replace("\u00e9".encode(), b"\xff\xfe"))
        with pytest.raises(ValueError, match="not valid UTF-8"):
            Repo().__setstate__(broken)

    def test_the_python_checksum_matches(self):
        assert crc32c(b"123456789") == 0xE3069283 and zlib  # the published check value
        assert reseal(self.STATE[20:-4]) == self.STATE

    def test_accepts_bytes_like_and_refuses_anything_else(self):
        full, _ = history()
        state = full.__reduce__()[2]
        for like in (bytearray(state), memoryview(state)):
            repo = Repo()
            repo.__setstate__(like)
            assert repo.log() == full.log()
        for wrong in ("text", 3, None, [state]):
            with pytest.raises(TypeError, match="expects bytes"):
                Repo().__setstate__(wrong)

    def test_refuses_to_mix_two_histories(self):
        repo, _ = history()
        before = repo.log()
        with pytest.raises(ValueError, match="already holds a history"):
            repo.__setstate__(self.STATE)
        assert repo.log() == before
