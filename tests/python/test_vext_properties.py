"""Properties of the lossless merge and the located diff of the vext package,
over the generated trees of test_properties: anonymous and duplicate
siblings, deep chains and wide fans."""

import copy
from collections import Counter, defaultdict

from hypothesis import example, given

import vext
from test_properties import three_way, tree_and_edit, trees


def normal(tree):
    """The tree with attributes and children sorted: equal for two trees
    that hold the same nodes in any sibling order."""
    kids = sorted((normal(c) for c in tree.get("children", [])), key=repr)
    return (tree["kind"], tree.get("identity"), tree.get("label"), tree.get("text"),
            sorted((tree.get("attributes") or {}).items()), kids)


def exact(tree):
    """The tree with attribute order kept: equal only for trees the core
    holds equal."""
    return (tree["kind"], tree.get("identity"), tree.get("label", ""), tree.get("text", ""),
            tuple((tree.get("attributes") or {}).items()), tuple(map(exact, tree.get("children", []))))


def steps(children):
    """The step that names each child."""
    seen = Counter()
    out = []
    for child in children:
        key = (child["kind"], child.get("identity"))
        out.append(vext.Step(*key, seen[key]))
        seen[key] += 1
    return out


class Pairing:
    """How the children of a side pair with those of base, read back from
    diff(base, side), which lists every removed, moved and added child under
    its parent's base location. The merge pairs the sides with base the same
    way, so this is its pairing too."""

    def __init__(self, base, side):
        edits = defaultdict(lambda: (set(), {}, set()))  # removed steps, moves old -> new, added indices
        for change in vext.diff(base, side):
            if change.op in ("remove", "move", "insert"):
                removed, moved, added = edits[change.location[:-1]]
                if change.op == "remove":
                    removed.add(change.location[-1])
                elif change.op == "move":
                    moved[change.old] = change.new
                else:
                    added.add(change.index)
        self.edits = dict(edits)

    def moved(self, location):
        return bool(self.edits.get(location, ((), {}))[1])

    def partners(self, location, base_children, side_children):
        """For each child of the side, the index of its base partner or None."""
        removed, moved, added = self.edits.get(location, (set(), {}, set()))
        out = [None] * len(side_children)
        for old, new in moved.items():
            out[new] = old
        rest = (i for i, step in enumerate(steps(base_children)) if step not in removed and i not in moved)
        for j in range(len(out)):
            if out[j] is None and j not in added:
                out[j] = next(rest)
        return out


def first(ours_step, theirs_step):
    """Of the steps of two nodes both sides added at one place, the one a
    conflict names: the first among its siblings, ours' on a tie."""
    return theirs_step if (theirs_step.position, theirs_step.kind) < (ours_step.position, ours_step.kind) else ours_step


class Merged:
    """A node the model merged from three: its own fields, the expected
    children (trees, or Merged for nodes both sides changed), and the added
    trees that may be there once or twice."""

    def __init__(self, fields, children, optional, ordered):
        self.fields, self.children, self.optional, self.ordered = fields, children, optional, ordered


def own_fields(tree):
    return (tree["kind"], tree.get("identity"), tree.get("label", ""), tree.get("text", ""),
            tree.get("attributes") or {})


class Model:
    """The merge that loses nothing, written from the two diffs alone: a side
    that left a field, node or order as in base takes the other side's; where
    both changed it differently, ours stays and a conflict names it; a node
    one side removed and the other changed stays, with a conflict; every
    added node is kept, except that unnamed nodes both sides added at one
    place come once if equal and conflict if not. The order of children is
    checked where one side kept it."""

    def __init__(self, base, ours, theirs):
        self.ours, self.theirs = Pairing(base, ours), Pairing(base, theirs)
        self.conflicts = []
        self.tree = self.node(base, ours, theirs, ())

    def conflict(self, location, field, name, b, o, t):
        self.conflicts.append(vext.Conflict(location, field, name, b, o, t))

    def value(self, location, field, name, b, o, t):
        if o == b:
            return t
        if t not in (b, o):
            self.conflict(location, field, name, b, o, t)
        return o

    def attributes(self, location, b, o, t):
        if tuple(o.items()) == tuple(b.items()):
            return t
        if tuple(t.items()) in (tuple(b.items()), tuple(o.items())):
            return o
        out = {}
        for name in dict.fromkeys([*o, *t, *b]):
            picked = self.value(location, "attribute", name, b.get(name), o.get(name), t.get(name))
            if picked is not None:
                out[name] = picked
        return out

    def node(self, b, o, t, location):
        if exact(o) == exact(b):
            return t
        if exact(t) in (exact(b), exact(o)):
            return o
        (bk, bi, bl, bt, ba), (ok, oi, ol, ot, oa), (tk, ti, tl, tt, ta) = own_fields(b), own_fields(o), own_fields(t)
        fields = (self.value(location, "kind", None, bk, ok, tk), self.value(location, "identity", None, bi, oi, ti),
                  self.value(location, "label", None, bl, ol, tl), self.value(location, "text", None, bt, ot, tt),
                  self.attributes(location, ba, oa, ta))
        return Merged(fields, *self.children(b, o, t, location))

    def children(self, b, o, t, location):
        bk, ok, tk = b.get("children", []), o.get("children", []), t.get("children", [])
        o_to_b = self.ours.partners(location, bk, ok)
        t_to_b = self.theirs.partners(location, bk, tk)
        b_to_o, b_to_t = [None] * len(bk), [None] * len(bk)
        for j, i in enumerate(o_to_b):
            if i is not None:
                b_to_o[i] = j
        for j, i in enumerate(t_to_b):
            if i is not None:
                b_to_t[i] = j
        if self.ours.moved(location) and self.theirs.moved(location):
            in_ours = [i for i in o_to_b if i is not None and b_to_t[i] is not None]
            in_theirs = [i for i in t_to_b if i is not None and b_to_o[i] is not None]
            if in_ours != in_theirs:
                self.conflict(location, "order", None, None, None, None)
        ordered = location not in self.ours.edits or location not in self.theirs.edits
        kept = {}  # base index -> expected child
        bsteps = steps(bk)
        for i, child in enumerate(bk):
            oj, tj = b_to_o[i], b_to_t[i]
            at = location + (bsteps[i],)
            if oj is not None and tj is not None:
                kept[i] = self.node(child, ok[oj], tk[tj], at)
            elif oj is not None or tj is not None:
                side = ok[oj] if oj is not None else tk[tj]
                if exact(side) != exact(child):
                    self.conflict(at, "node", None, child, *((side, None) if oj is not None else (None, side)))
                    kept[i] = side
                    ordered = False
        # Added nodes: named ones pair by kind, identity and order of
        # occurrence (ours is kept).
        added_o = [j for j, i in enumerate(o_to_b) if i is None]
        added_t = [j for j, i in enumerate(t_to_b) if i is None]
        named = defaultdict(list)
        for j in added_o:
            if ok[j].get("identity") is not None:
                named[(ok[j]["kind"], ok[j]["identity"])].append(j)
        osteps, tsteps = steps(ok), steps(tk)
        optional, twin_of_ours = [], set()
        for j in added_t:
            child = tk[j]
            if child.get("identity") is not None:
                mates = named.get((child["kind"], child["identity"]))
                if mates:
                    oj = mates.pop(0)
                    twin_of_ours.add(j)
                    if exact(ok[oj]) != exact(child):
                        self.conflict(location + (first(osteps[oj], tsteps[j]),), "node", None, None, ok[oj], child)

        # Unnamed ones both sides added at one place (after the same child
        # both kept, or at the start) are one copy if equal, else a conflict.
        def unnamed_runs(to_b, b_to_other, kids):
            runs, anchor = defaultdict(list), None
            for j, i in enumerate(to_b):
                if i is not None and b_to_other[i] is not None:
                    anchor = i
                elif i is None and kids[j].get("identity") is None:
                    runs[anchor].append(j)
            return runs

        runs_o, runs_t = unnamed_runs(o_to_b, b_to_t, ok), unnamed_runs(t_to_b, b_to_o, tk)
        for anchor, mine in runs_o.items():
            yours = runs_t.get(anchor)
            if not yours:
                continue
            if [exact(ok[j]) for j in mine] == [exact(tk[j]) for j in yours]:
                twin_of_ours.update(yours)
            else:
                at = first(osteps[mine[0]], tsteps[yours[0]])
                self.conflict(location + (at,), "node", None, None, ok[mine[0]], tk[yours[0]])
        # Where only one side changed this list, its order is the merged one.
        if location in self.ours.edits:
            order = [("b", i) if i is not None else ("o", j) for j, i in enumerate(o_to_b)]
        elif location in self.theirs.edits:
            order = [("b", i) if i is not None else ("t", j) for j, i in enumerate(t_to_b)]
        else:
            order = [("b", i) for i in range(len(bk))]
        placed = set(order)
        order += [("b", i) for i in kept if ("b", i) not in placed]
        order += [("t", j) for j in added_t if ("t", j) not in placed]
        expected = []
        for side, k in order:
            if side == "b" and k in kept:
                expected.append(kept[k])
            elif side == "o":
                expected.append(ok[k])
            elif side == "t" and k not in twin_of_ours:
                expected.append(tk[k])
        return expected, optional, ordered and not optional


def matches(expected, actual):
    """Whether a merged tree is what the model expects: copied sub-trees
    exactly, children in the expected order where it is known, otherwise in
    any order."""
    if not isinstance(expected, Merged):
        return exact(expected) == exact(actual)
    if expected.fields != own_fields(actual):
        return False
    kids = actual.get("children", [])
    if expected.ordered:
        return len(kids) == len(expected.children) and all(map(matches, expected.children, kids))
    copies = Counter(exact(e) for e in expected.children if not isinstance(e, Merged))
    left = []
    for kid in kids:
        if copies[exact(kid)] > 0:
            copies[exact(kid)] -= 1
        else:
            left.append(kid)
    if +copies:
        return False
    # Each merged child to a different child of the result, by augmenting
    # paths, since one child can fit several.
    merged = [e for e in expected.children if isinstance(e, Merged)]
    owner = {}

    def place(m, seen):
        for k, kid in enumerate(left):
            if k not in seen and matches(merged[m], kid):
                seen.add(k)
                if k not in owner or place(owner[k], seen):
                    owner[k] = m
                    return True
        return False

    if not all(place(m, set()) for m in range(len(merged))):
        return False
    spare = Counter(map(exact, expected.optional))
    spare.subtract(exact(kid) for k, kid in enumerate(left) if k not in owner)
    return min(spare.values(), default=0) >= 0


def conflict_key(conflict):
    return repr(conflict) if conflict.field != "order" else repr((conflict.location, "order"))


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
@example(({"kind": "", "children": [{"kind": "a", "identity": "x"}, {"kind": "b"}]},
          {"kind": "", "children": [{"kind": "a", "identity": "x", "text": "~"}, {"kind": "b"}]},
          {"kind": "", "children": [{"kind": "b"}, {"kind": "a", "identity": "x"}]}))
def test_every_change_of_either_side_is_kept_or_named_by_a_conflict(triple):
    base, ours, theirs = triple
    tree, conflicts = vext.merge(base, ours, theirs)
    model = Model(base, ours, theirs)
    assert sorted(map(conflict_key, conflicts)) == sorted(map(conflict_key, model.conflicts))
    assert matches(model.tree, tree)


@given(trees(), trees())
def test_applying_a_diff_gives_the_new_tree(a, b):
    assert vext.apply(a, vext.diff(a, b)) == b
    assert vext.diff(a, a) == []


@given(tree_and_edit())
def test_applying_the_diff_of_an_edit_gives_the_edited_tree(pair):
    a, b = pair
    assert vext.apply(a, vext.diff(a, b)) == b
    assert vext.apply(b, vext.diff(b, a)) == a
