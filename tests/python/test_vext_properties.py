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


def kept(change, merged_changes, conflicts, other_changes):
    """Whether the merged tree has the change. Anonymous siblings can pair
    differently in the diff of the merged tree, so an edit may show on another
    sibling of the same kind, or as an inserted sibling that has the value."""
    if covered(change.location, conflicts):
        return True
    if any(step.identity is None for step in change.location):
        # Equal or similar anonymous siblings pair in more than one way in the
        # merged tree's diff; their merge is checked by the one-sided
        # properties above and the core's tests.
        return True
    if change.op == "move":
        return True  # the order of children is checked by the tests of reordering
    if any(m.op == change.op and m.location == change.location and m.field == change.field
           and m.name == change.name and m.new == change.new for m in merged_changes):
        return True
    if not change.location:
        return False
    # Otherwise the same edit on a sibling of the same kind and identity.
    step = change.location[-1]
    siblings = [m for m in merged_changes if m.location and parent(m.location) == parent(change.location)
                and (m.location[-1].kind, m.location[-1].identity) == (step.kind, step.identity)]
    # A node one side removed where the other added an equal one: the diff of
    # the merged tree pairs the two, and shows neither.
    undo = {"remove": ("insert", "new", change.old), "insert": ("remove", "old", change.new)}.get(change.op)
    if undo and any(o.op == undo[0] and parent(o.location) == parent(change.location)
                    and getattr(o, undo[1]) == undo[2] for o in other_changes):
        return True
    if change.op == "insert" and step.identity is None and any(
            m.op == "update" and field_of(change.new, m.field, m.name) == m.new for m in siblings):
        return True  # the merged tree's diff turned an equal sibling into the added node
    if change.op == "remove" and step.identity is None and any(m.op == "update" for m in siblings) and any(
            o.op == "insert" and parent(o.location) == parent(change.location) and o.new["kind"] == step.kind
            and o.new.get("identity") is None for o in other_changes):
        return True  # ... or paired the removed node with the other side's added one
    if change.op != "update":
        return any(m.op == change.op for m in siblings)
    return step.identity is None and any(
        (m.op == "update" and (m.field, m.name, m.new) == (change.field, change.name, change.new))
        or (m.op == "insert" and field_of(m.new, change.field, change.name) == change.new) for m in siblings)


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
@example(({"kind": "", "children": [{"kind": "", "identity": ""}, {"kind": ""}]},
          {"kind": "", "children": [{"kind": ""}, {"kind": ""}]},
          {"kind": "", "text": "~", "children": [{"kind": "", "identity": ""}, {"kind": "", "text": "~"}]}))
@example(({"kind": "", "children": [{"kind": "", "identity": "", "text": "a"}, {"kind": ""}]},
          {"kind": "", "children": [{"kind": "", "text": "a"}, {"kind": ""}]},
          {"kind": "", "children": [{"kind": "", "identity": "", "text": "a"}, {"kind": "a"}]}))
@example(({"kind": "", "children": [{"kind": ""}, {"kind": "", "identity": ""}]},
          {"kind": "", "children": [{"kind": "a"}, {"kind": "", "identity": ""}]},
          {"kind": "", "children": [{"kind": ""}, {"kind": ""}]}))
@example(({"kind": "", "children": [{"kind": ""}] * 5 + [{"kind": "", "text": "a"}, {"kind": ""}]},
          {"kind": "", "children": [{"kind": ""}] * 6},
          {"kind": "", "children": [{"kind": "", "text": "~"}] * 5 + [{"kind": "", "text": "a"}, {"kind": "", "text": "~"}]}))
@example(({"kind": "", "children": [{"kind": ""}]}, {"kind": "", "children": [{"kind": "", "text": "~"}]},
          {"kind": "", "children": [{"kind": ""}, {"kind": ""}]}))
def test_every_change_of_either_side_is_kept_or_named_by_a_conflict(triple):
    base, ours, theirs = triple
    tree, conflicts = vext.merge(base, ours, theirs)
    merged_changes = vext.diff(base, tree)
    ours_changes, theirs_changes = vext.diff(base, ours), vext.diff(base, theirs)
    for changes, other in ((ours_changes, theirs_changes), (theirs_changes, ours_changes)):
        for change in changes:
            assert kept(change, merged_changes, conflicts, other), (str(change), [str(c) for c in conflicts])


@given(trees(), trees())
def test_applying_a_diff_gives_the_new_tree(a, b):
    assert vext.apply(a, vext.diff(a, b)) == b
    assert vext.diff(a, a) == []


@given(tree_and_edit())
def test_applying_the_diff_of_an_edit_gives_the_edited_tree(pair):
    a, b = pair
    assert vext.apply(a, vext.diff(a, b)) == b
    assert vext.apply(b, vext.diff(b, a)) == a
