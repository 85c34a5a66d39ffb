"""Type-checked, never run: `mypy --strict` must accept every line here, and
each `type: ignore[...]` marks a call the stub must refuse (strict mode
reports an ignore that is no longer needed, so a loosened stub fails too)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal, assert_type

import vext
import vext_py
from vext import cli

if TYPE_CHECKING:
    from vext_py import Change, Tree

DOC: Tree = {
    "kind": "doc",
    "identity": None,
    "attributes": {"lang": "en"},
    "children": [{"kind": "p", "text": "Hi", "children": None}],
}


def module_functions(tree: Tree) -> None:
    assert_type(vext_py.__version__, str)
    assert_type(vext_py.__all__, list[str])
    changes = vext_py.diff_trees(a=DOC, b=tree)
    assert_type(changes, list[Change])
    first = changes[0]
    assert_type(first["kind"], Literal["Added", "Removed", "Modified"])
    assert_type(first["id"], str)
    merged, conflicts = vext_py.merge_trees(DOC, tree, theirs={})
    assert_type(merged, Tree)
    assert_type(conflicts, int)
    vext_py.diff_trees(merged, merged)  # results go back in unchanged
    for child in merged.get("children") or []:
        assert_type(child, Tree)

    vext_py.diff_trees(DOC)  # type: ignore[call-arg]
    vext_py.diff_trees([], DOC)  # type: ignore[arg-type]
    vext_py.diff_trees({"identity": 5}, DOC)  # type: ignore[typeddict-item]
    vext_py.diff_trees({"children": ({"kind": "p"},)}, DOC)  # type: ignore[typeddict-item]
    vext_py.diff_trees({"attributes": {"x": 1}}, DOC)  # type: ignore[dict-item]
    vext_py.diff_trees({"kids": []}, DOC)  # type: ignore[typeddict-unknown-key]
    first["kind"] = "Moved"  # type: ignore[typeddict-item]


def repository() -> None:
    repo = vext_py.Repo()
    assert_type(len(repo), int)
    root = repo.commit("init", [], DOC)
    assert_type(root, int)
    child = repo.commit(message="more", parents=(root,), tree=repo.tree_at(root))
    repo.commit("range parents", range(2), DOC)
    rows = repo.diff(root, child)
    assert_type(rows, list[tuple[list[str], str | None, str | None]])
    tree, conflicts = repo.merge(ours=root, theirs=child)
    assert_type(tree, Tree)
    assert_type(conflicts, list[str])
    assert_type(repo.cherry_pick(child, root), Tree)
    assert_type(repo.revert(target=child, dst=child), Tree)
    assert_type(repo.log(), list[tuple[int, str]])
    assert_type(repo.tree_at(True), Tree)

    vext_py.Repo(DOC)  # type: ignore[call-arg]
    repo.commit("m", "abc", DOC)  # type: ignore[arg-type]
    repo.commit(b"m", [], DOC)  # type: ignore[arg-type]
    repo.tree_at("1")  # type: ignore[arg-type]
    repo.log(root)  # type: ignore[call-arg]


class Sub(vext_py.Repo):  # type: ignore[misc]
    pass


def command_line() -> None:
    assert_type(cli.run(["diff", "a.json", "b.json"]), int)
    assert_type(cli.main(), int)


def public_package(tree: vext.Tree) -> None:
    vext.diff(tree, [])  # type: ignore[arg-type]
    changes = vext.diff(tree, DOC)
    assert_type(changes, list[vext.Change])
    assert_type(changes[0].location[0], vext.Step)
    assert_type(changes[0].op, Literal["insert", "remove", "update", "move"])
    merged, conflicts = vext.merge(tree, tree, tree)
    assert_type(merged, vext.Tree)
    assert_type(conflicts, tuple[vext.Conflict, ...])
    assert_type(vext.merge(tree, tree, tree).conflicts[0].ours, vext.Value)
    assert_type(vext.apply(tree, changes), vext.Tree)
    vext.apply(tree, [1])  # type: ignore[list-item]
    vext.merge({"kind": "doc"}, vext.Tree(kind="doc", children=[{"text": "t"}]), merged)
    vext.Tree(kind=1)  # type: ignore[typeddict-item]


def trees_cross_modules(base: vext.Tree, ours: Tree, theirs: vext.Tree) -> None:
    # A tree of either module is a tree of the other: merge, then commit.
    merged, _ = vext.merge(base, ours, theirs)
    repo = vext_py.Repo()
    root = repo.commit("merged", [], merged)
    child = repo.commit("first child", [root], (merged.get("children") or [{}])[0])
    back: vext.Tree = repo.tree_at(child)
    vext_py.diff_trees(back, merged)
    vext_py.merge_trees(base, merged, vext.apply(back, vext.diff(back, merged)))
    children: list[vext.Tree] = vext_py.merge_trees(base, ours, theirs)[0].get("children") or []
    repo.commit("children", [root], {"kind": "doc", "children": children})
