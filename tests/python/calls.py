"""One table of calls: every function and method, on its success path and
on each of its error paths, with arguments ready to use. Shared by the leak
checks and the allocation-failure checks."""

import atexit
import os
import pickle
import shutil
import tempfile

import pytest

from conftest import panic_type
import vext
from vext import _core
from vext_py import Repo, diff_trees, merge_trees

XML = b'<?xml version="1.0"?>\n<doc id="d">\n  <p id="1" x="a">t</p>\n  <p>u</p>\n</doc>\n'
XML_OURS = XML.replace(b'x="a">t', b'x="b">o')
XML_THEIRS = XML.replace(b'x="a">t', b'x="c">h').replace(b"<p>u</p>", b"<q  k='v'/>")

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


def make_store():
    """A store with BASE on main, OURS on "ours" and THEIRS on main after it."""
    folder = tempfile.mkdtemp()
    atexit.register(shutil.rmtree, folder, True)
    store = vext.Store(os.path.join(folder, "calls.vext"))
    atexit.register(store.close)
    base = store.commit(BASE, "base")
    store.branch("ours", at=base)
    store.commit(OURS, "ours", branch="ours")
    store.commit(THEIRS, "theirs")
    return store, base


STORE, S_BASE = make_store()
PANIC = panic_type()
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
    "diff_trees kind not UTF-8": (diff_trees, ({"kind": "\ud800"}, {"kind": "root"})),
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
    "vext.diff": (vext.diff, (BASE, OURS)),
    "vext.apply": (vext.apply, (BASE, vext.diff(BASE, OURS))),
    "vext.merge": (vext.merge, (BASE, OURS, THEIRS)),
    "vext.merge printed": (lambda *t: [str(c) for c in vext.merge(*t).conflicts], (BASE, OURS, THEIRS)),
    "pickle round trip": (lambda r: pickle.loads(pickle.dumps(r)), (REPO,)),
    "__setstate__ from a bytearray": (lambda s: Repo().__setstate__(s), (bytearray(REPO.__reduce__()[2]),)),
    "_core.diff": (_core.diff, (BASE, OURS)),
    "_core.apply": (_core.apply, (BASE, _core.diff(BASE, OURS))),
    "_core.merge": (_core.merge, (BASE, OURS, THEIRS)),
    "read_file": (_core.read_file, (XML,)),
    "rewrite_file": (kw(_core.rewrite_file, format="xml", id_attrs=["p@id"]), (XML,)),
    "diff_files": (_core.diff_files, (XML, XML_THEIRS)),
    "diff_files keyed": (kw(_core.diff_files, id_keys=["/a@k"]), (b'{"a": [{"k": 1}]}', b'{"a": [{"k": 0}, {"k": 1}]}')),
    "merge_files with markers": (_core.merge_files, (XML, XML_OURS, XML_THEIRS)),
    "from_json": (_core.from_json, ({"a": [1, 2.5, "x", True, None], "b": {}},)),
    "to_json": (_core.to_json, (_core.read_file(b'{"a": [1, 2.5, "x", true, null], "b": {}}'),)),
    "vext.merge_files printed": (lambda *f: [str(c) for c in vext.merge_files(*f).conflicts], (XML, XML_OURS, XML_THEIRS)),
    "Store.tree": (STORE.tree, ("main",)),
    "Store.diff": (STORE.diff, (S_BASE, "ours")),
    "Store.info": (STORE.info, (S_BASE[:10],)),
    "Store.branches": (lambda: STORE.branches, ()),
    "Store.merge with conflicts": (STORE.merge, ("ours",)),
    "Store.verify": (STORE.verify, ()),
    "Store.log": (lambda: list(STORE.log("ours")), ()),
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
    "Repo() with a keyword": (raising(TypeError, kw(Repo, x=1)), ()),
    "commit binding": (raising(TypeError, REPO.commit), ("m",)),
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
    "vext.diff bad grandchild": (raising(TypeError, vext.diff), (BASE, {"children": [{"children": [3]}]})),
    "vext.apply misfit": (raising(ValueError, vext.apply), (OURS, vext.diff(BASE, OURS))),
    "vext.apply bad change": (raising(TypeError, vext.apply), (BASE, [vext.Change("update", (), "text", old=1)])),
    "vext.apply unknown field": (raising(ValueError, vext.apply), (BASE, [vext.Change("update", (), "size")])),
    "vext.merge bad theirs": (raising(TypeError, vext.merge), (BASE, OURS, [BASE])),
    "vext.merge surrogate": (raising(UnicodeEncodeError, vext.merge), (BASE, OURS, {"label": "\ud800"})),
    "__setstate__ not bytes": (raising(TypeError, Repo().__setstate__), ("state",)),
    "__setstate__ damaged": (raising(ValueError, Repo().__setstate__), (REPO.__reduce__()[2][:-1],)),
    "__setstate__ on a history": (raising(ValueError, REPO.__setstate__), (REPO.__reduce__()[2],)),
    "read_file malformed": (raising(_core.FormatError, _core.read_file), (XML[:-8],)),
    "merge_files mixed formats": (raising(_core.FormatError, _core.merge_files), (XML, b"{}", XML)),
    "diff_files bad id_attrs": (raising(ValueError, kw(_core.diff_files, id_attrs=["@"])), (XML, XML)),
    "diff_files bad id_keys": (raising(ValueError, kw(_core.diff_files, id_keys=["/a@"])), (XML, XML)),
    "merge_files keyed twice": (raising(_core.FormatError, kw(_core.merge_files, id_keys=["k"])),
                                (b'[{"k": 1}]', b'[{"k": 1}, {"k": 1}]', b"[]")),
    "rewrite_file not bytes": (raising(TypeError, _core.rewrite_file), ("<a/>",)),
    "Store.tree unknown": (raising(vext.StoreError, STORE.tree), ("nope",)),
    "Store.commit on a moved branch": (raising(vext.StoreError, kw(STORE.commit, parents=[S_BASE])), (BASE, "m")),
    "Store.commit bad tree": (raising(TypeError, STORE.commit), ({"children": [3]}, "m")),
    "_core.diff binding": (raising(TypeError, _core.diff), (BASE,)),
    "_core.apply binding": (raising(TypeError, kw(_core.apply, tree=BASE)), (BASE, [])),
    "_core.apply short change": (raising(ValueError, _core.apply), (BASE, [("update", (), "text")])),
    "_core.merge binding": (raising(TypeError, kw(_core.merge, extra=1)), (BASE, OURS, THEIRS)),
    "read_file binding": (raising(TypeError, _core.read_file), ()),
    "rewrite_file binding": (raising(TypeError, kw(_core.rewrite_file, data=XML)), (XML,)),
    "diff_files binding": (raising(TypeError, kw(_core.diff_files, markers=True)), (XML, XML)),
    "merge_files binding": (raising(TypeError, _core.merge_files), (XML, XML)),
    "merge_files bad format": (raising(ValueError, kw(_core.merge_files, format="yaml")), (XML, XML, XML)),
    "from_json binding": (raising(TypeError, _core.from_json), ()),
    "from_json bad key": (raising(TypeError, _core.from_json), ({"a": [{1: 2}]},)),
    "from_json infinity": (raising(ValueError, _core.from_json), ([1, float("inf")],)),
    "to_json binding": (raising(TypeError, kw(_core.to_json, value=1)), (BASE,)),
    "to_json not a JSON tree": (raising(ValueError, _core.to_json), (BASE,)),
    "store_open binding": (raising(TypeError, _core.store_open), ()),
    "store_close binding": (raising(TypeError, _core.store_close), ()),
    "store_commit binding": (raising(TypeError, _core.store_commit), (STORE._h, BASE, "m")),
    "store_resolve binding": (raising(TypeError, _core.store_resolve), (STORE._h,)),
    "store_tree binding": (raising(TypeError, kw(_core.store_tree, extra=1)), (STORE._h, "main")),
    "store_info binding": (raising(TypeError, _core.store_info), (STORE._h,)),
    "store_diff binding": (raising(TypeError, _core.store_diff), (STORE._h, "main")),
    "store_merge binding": (raising(TypeError, _core.store_merge), (STORE._h, "ours", "main")),
    "store_branches binding": (raising(TypeError, _core.store_branches), ()),
    "store_set_branch binding": (raising(TypeError, _core.store_set_branch), (STORE._h, "x", "main")),
    "store_delete_branch binding": (raising(TypeError, _core.store_delete_branch), (STORE._h,)),
    "store_verify binding": (raising(TypeError, kw(_core.store_verify, extra=1)), (STORE._h,)),
    "store_log binding": (raising(TypeError, _core.store_log), (STORE._h,)),
    "store_log not a class": (raising(TypeError, _core.store_log), (STORE._h, "ours", "Commit")),
    "store_log no such slot": (raising(TypeError, _core.store_log), (STORE._h, "ours", vext.StoreStats)),
    "Store.log unknown": (raising(vext.StoreError, lambda b: list(STORE.log(b))), ("nope",)),
}
