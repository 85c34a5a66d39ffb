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


base: Tree = {
    "kind": "doc",
    "identity": "guide",
    "children": [
        {"kind": "section", "identity": "intro", "text": "Welcome.", "attributes": {"level": "1"}},
        {"kind": "section", "identity": "usage", "text": "Call diff_trees.", "attributes": {"level": "1"}},
    ],
}
ours: Tree = {
    "kind": "doc",
    "identity": "guide",
    "children": [
        {"kind": "section", "identity": "intro", "text": "Welcome to vext.", "attributes": {"level": "1"}},
        {"kind": "section", "identity": "usage", "text": "Call diff_trees.", "attributes": {"level": "1"}},
        {"kind": "section", "identity": "faq", "text": "Questions."},
    ],
}
theirs: Tree = {
    "kind": "doc",
    "identity": "guide",
    "children": [
        {"kind": "section", "identity": "intro", "text": "Welcome.", "attributes": {"level": "2"}},
        {"kind": "section", "identity": "usage", "text": "Call merge_trees too.", "attributes": {"level": "1"}},
    ],
}

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
