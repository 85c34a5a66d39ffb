"""A short tour of vext on a small document tree: diff, three-way merge and
history. Run it through tools/demo.sh."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING

import vext_py

if TYPE_CHECKING:
    from vext_py import Tree


def show(title: str, value: object) -> None:
    print(f"== {title}")
    print(json.dumps(value, indent=2, ensure_ascii=False))


def section(identity: str, text: str, level: str | None = "1") -> Tree:
    node: Tree = {"kind": "section", "identity": identity, "text": text}
    if level is not None:
        node["attributes"] = {"level": level}
    return node


def guide(*sections: Tree) -> Tree:
    return {"kind": "doc", "identity": "guide", "children": list(sections)}


base = guide(section("intro", "Welcome."), section("usage", "Call diff_trees."))
ours = guide(
    section("intro", "Welcome to vext."), section("usage", "Call diff_trees."), section("faq", "Questions.", None)
)
theirs = guide(section("intro", "Welcome.", "2"), section("usage", "Call merge_trees too."))

show("diff_trees(base, ours)", vext_py.diff_trees(base, ours))
show("diff_trees(base, theirs)", vext_py.diff_trees(base, theirs))

merged, count = vext_py.merge_trees(base, ours, theirs)
show(f"merge_trees(base, ours, theirs): {count} conflict(s)", merged)

repo = vext_py.Repo()
root = repo.commit("base", [], base)
mine = repo.commit("ours", [root], ours)
yours = repo.commit("theirs", [root], theirs)
show("log()", [[hex(cid), message] for cid, message in repo.log()])
show("diff(base, ours) rows", [[path, before, after] for path, before, after in repo.diff(root, mine)])
tree, conflicts = repo.merge(mine, yours)
show(f"merge(ours, theirs): conflicts at {conflicts}", tree)
try:
    repo.cherry_pick(mine, yours)
except ValueError as refused:
    # Both sides edited the intro section, so ours' change does not apply to theirs.
    print(f"== cherry_pick(ours, theirs) refused:\n{refused}")
show("revert(ours, ours)", repo.revert(mine, mine))
print(repr(repo))
