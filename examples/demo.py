"""A short tour of vext on a small document tree: diff, three-way merge and
history. Run it through tools/demo.sh."""

import json

import vext_py


def show(title, value):
    print(f"== {title}")
    print(json.dumps(value, indent=2, ensure_ascii=False))


base = {
    "kind": "doc",
    "identity": "guide",
    "children": [
        {"kind": "section", "identity": "intro", "text": "Welcome.", "attributes": {"level": "1"}},
        {"kind": "section", "identity": "usage", "text": "Call diff_trees.", "attributes": {"level": "1"}},
    ],
}
ours = {
    "kind": "doc",
    "identity": "guide",
    "children": [
        {"kind": "section", "identity": "intro", "text": "Welcome to vext.", "attributes": {"level": "1"}},
        {"kind": "section", "identity": "usage", "text": "Call diff_trees.", "attributes": {"level": "1"}},
        {"kind": "section", "identity": "faq", "text": "Questions."},
    ],
}
theirs = {
    "kind": "doc",
    "identity": "guide",
    "children": [
        {"kind": "section", "identity": "intro", "text": "Welcome.", "attributes": {"level": "2"}},
        {"kind": "section", "identity": "usage", "text": "Call merge_trees too.", "attributes": {"level": "1"}},
    ],
}

show("diff_trees(base, ours)", vext_py.diff_trees(base, ours))
show("diff_trees(base, theirs)", vext_py.diff_trees(base, theirs))

if hasattr(vext_py, "merge_trees"):
    merged, conflicts = vext_py.merge_trees(base, ours, theirs)
    show(f"merge_trees(base, ours, theirs): {conflicts} conflict(s)", merged)

if hasattr(vext_py, "Repo"):
    repo = vext_py.Repo()
    root = repo.commit("base", [], base)
    mine = repo.commit("ours", [root], ours)
    yours = repo.commit("theirs", [root], theirs)
    show("log()", [[hex(cid), message] for cid, message in repo.log()])
    show("diff(base, ours) rows", [[path, before, after] for path, before, after in repo.diff(root, mine)])
    tree, conflicts = repo.merge(mine, yours)
    show(f"merge(ours, theirs): conflicts at {conflicts}", tree)
    print(repr(repo))
