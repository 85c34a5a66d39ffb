"""Properties of the lossless merge and the located diff of the vext package,
over the generated trees of test_properties: anonymous and duplicate
siblings, deep chains and wide fans."""

import copy

from hypothesis import example, given

import vext
from test_properties import three_way, tree_and_edit, trees


def normal(tree):
    """The tree with attributes and children sorted: equal for two trees
    that hold the same nodes in any sibling order."""
    kids = sorted((normal(c) for c in tree.get("children", [])), key=repr)
    return (tree["kind"], tree.get("identity"), tree.get("label"), tree.get("text"),
            sorted((tree.get("attributes") or {}).items()), kids)


def parent(location):
    return location[:-1]


def covered(location, conflicts):
    """Whether a conflict names the location, one of its ancestors or one of
    its descendants."""
    for c in conflicts:
        n = min(len(c.location), len(location))
        if c.location[:n] == location[:n]:
            return True
    return False


def field_of(node, field, name):
    if field == "attribute":
        return (node.get("attributes") or {}).get(name)
    return node.get(field, "") if field in ("label", "text") else None


def kept(change, merged_changes, conflicts):
    """Whether the merged tree has the change. Anonymous siblings can pair
    differently in the diff of the merged tree, so a removal may show on an
    equal sibling, an edit as an inserted sibling that has the value, and an
    insertion as another one of the same kind."""
    if covered(change.location, conflicts):
        return True
    if change.op == "move":
        return True  # the order of children is checked by the tests of reordering
    same_parent = [m for m in merged_changes if parent(m.location) == parent(change.location)]
    if change.op == "insert":
        added = change.new
        return any(m.op == "insert" and (m.new == added or (m.new["kind"], m.new.get("identity"))
                                         == (added["kind"], added.get("identity"))) for m in same_parent)
    if change.op == "remove":
        return any(m.op == "remove" and m.old == change.old for m in same_parent)
    if any(m.op == "update" and m.location == change.location and m.field == change.field
           and m.name == change.name and m.new == change.new for m in merged_changes):
        return True
    step = change.location[-1] if change.location else None
    return step is not None and step.identity is None and any(
        m.op == "insert" and m.new["kind"] == step.kind and field_of(m.new, change.field, change.name) == change.new
        for m in same_parent)


@given(tree_and_edit())
def test_a_side_that_changed_nothing_takes_the_other(pair):
    base, x = pair
    assert vext.merge(base, x, base) == (x, ())
    assert vext.merge(base, base, x) == (x, ())
    assert vext.merge(base, x, copy.deepcopy(x)) == (x, ())


@given(three_way())
def test_swapping_the_sides_swaps_every_conflict(triple):
    base, ours, theirs = triple
    tree, conflicts = vext.merge(base, ours, theirs)
    swapped_tree, swapped = vext.merge(base, theirs, ours)
    flip = [vext.Conflict(c.location, c.field, c.name, c.base, c.theirs, c.ours) for c in swapped]
    assert sorted(map(repr, conflicts)) == sorted(map(repr, flip))
    if not conflicts:
        assert normal(tree) == normal(swapped_tree)


@given(three_way())
@example(({"kind": "", "children": [{"kind": ""}]}, {"kind": "", "children": [{"kind": "", "text": "~"}]},
          {"kind": "", "children": [{"kind": ""}, {"kind": ""}]}))
def test_every_change_of_either_side_is_kept_or_named_by_a_conflict(triple):
    base, ours, theirs = triple
    tree, conflicts = vext.merge(base, ours, theirs)
    merged_changes = vext.diff(base, tree)
    for side in (ours, theirs):
        for change in vext.diff(base, side):
            assert kept(change, merged_changes, conflicts), (str(change), [str(c) for c in conflicts])


@given(trees(), trees())
def test_applying_a_diff_gives_the_new_tree(a, b):
    assert vext.apply(a, vext.diff(a, b)) == b
    assert vext.diff(a, a) == []


@given(tree_and_edit())
def test_applying_the_diff_of_an_edit_gives_the_edited_tree(pair):
    a, b = pair
    assert vext.apply(a, vext.diff(a, b)) == b
    assert vext.apply(b, vext.diff(b, a)) == a
