"""Property-based tests over generated trees and histories.

The generators aim at the hard cases: a small alphabet, so match keys, path
elements and attribute names collide; duplicate sibling keys; identities equal
to the kind and empty identities; "/" and "#" inside kinds, identities and
attribute names; varied attribute order; NUL, control, format and combining
characters and other non-ASCII text; deep chains and wide fans.
"""

import copy
import unicodedata

from hypothesis import assume, given, strategies as st

from conftest import node as make_node
from vext_py import Repo, diff_trees, merge_trees

PIECES = ["a", "b", "a", "b", "#", "/", "", "\x00", "\n", "\t", "é", "\u0301", "\u2028", "\u00a0",
          "\ufeff", "\x7f", "\U0001f600", '"', "\\", " "]


def texts(pieces=PIECES):
    return st.lists(st.sampled_from(pieces), max_size=3).map("".join)


@st.composite
def nodes(draw, children=st.just([]), pieces=PIECES):
    kind = draw(texts(pieces))
    identity = draw(st.one_of(st.none(), st.none(), texts(pieces), st.just(kind), st.just("")))
    attrs = draw(st.lists(st.tuples(texts(pieces), texts(pieces)), max_size=3))
    label, text = draw(texts(pieces)), draw(texts(pieces))
    return make_node(kind, identity, text, attrs, draw(children), label=label)


@st.composite
def chains(draw, pieces=PIECES):
    """A chain up to 120 levels deep of one repeated node (deeper chains are
    tested on their own; copy.deepcopy here recurses)."""
    link = draw(nodes(pieces=pieces))
    tip = draw(nodes(pieces=pieces))
    for _ in range(draw(st.integers(1, 120))):
        tip = dict(link, children=[tip])
    return tip


@st.composite
def fans(draw, pieces=PIECES):
    """A root with up to 200 children drawn from a few, so keys repeat."""
    pool = draw(st.lists(nodes(pieces=pieces), min_size=1, max_size=4))
    kids = draw(st.lists(st.sampled_from(pool), min_size=1, max_size=200))
    return dict(draw(nodes(pieces=pieces)), children=copy.deepcopy(kids))


def trees(pieces=PIECES):
    nested = st.recursive(nodes(pieces=pieces),
                          lambda kids: nodes(st.lists(kids, min_size=1, max_size=4), pieces), max_leaves=14)
    return st.one_of(nested, nested, nested, chains(pieces), fans(pieces))


def all_nodes(tree):
    out, stack = [], [tree]
    while stack:
        node = stack.pop()
        out.append(node)
        stack.extend(reversed(node.get("children", [])))
    return out


@st.composite
def edited(draw, tree, pieces=PIECES, picks=()):
    """A copy of `tree` with a few edits of every sort. `picks` steers edits
    to the same nodes, so that two sides edited with one list meet."""
    tree = copy.deepcopy(tree)
    for i in range(draw(st.integers(0, 5))):
        candidates = all_nodes(tree)
        identified = [n for n in candidates if "identity" in n]
        if identified and draw(st.booleans()):
            candidates = identified  # the nodes that the diff reports by name
        if picks and draw(st.booleans()):
            node = candidates[picks[i % len(picks)] % len(candidates)]
        else:
            node = draw(st.sampled_from(candidates))
        op = draw(st.integers(0, 7))
        kids = node.get("children", [])
        attrs = node.get("attributes") or {}
        if op == 0:
            node["text"] = draw(texts(pieces)) + "~"
        elif op == 1:
            name = draw(st.sampled_from(sorted(attrs)) if attrs and draw(st.booleans()) else texts(pieces))
            node["attributes"] = dict(attrs, **{name: draw(texts(pieces))})
        elif op == 2 and attrs:
            del attrs[draw(st.sampled_from(sorted(attrs)))]
        elif op == 3:
            node["identity"] = draw(st.one_of(st.none(), texts(pieces)))
        elif op == 4 and kids:
            kids.pop(draw(st.integers(0, len(kids) - 1)))
        elif op == 5:
            kids.insert(draw(st.integers(0, len(kids))), draw(nodes(pieces=pieces)))
            node["children"] = kids
        elif op == 6 and len(kids) > 1:
            i, j = draw(st.permutations(range(len(kids))))[:2]
            kids[i], kids[j] = kids[j], kids[i]
        elif op == 7:
            node["kind"] = draw(texts(pieces))
    return canonical(tree)


def canonical(tree):
    """The tree as the module writes it back: no None values, no empty parts."""
    return make_node(tree["kind"], tree.get("identity"), tree.get("text"), tree.get("attributes"),
                     [canonical(c) for c in tree.get("children") or []], label=tree.get("label"))


@st.composite
def tree_and_edit(draw, pieces=PIECES):
    base = draw(trees(pieces))
    return base, draw(edited(base, pieces))


@st.composite
def three_way(draw):
    base = draw(trees())
    picks = draw(st.lists(st.integers(0, 1 << 16), max_size=4))
    return base, draw(edited(base, picks=picks)), draw(edited(base, picks=picks))


def key(node):
    return node["kind"] if "identity" not in node else node["kind"] + "#" + node["identity"]


def kinds_of(changes, kind):
    return [c for c in changes if c["kind"] == kind]


# --- tree diff -----------------------------------------------------------------------------------


@given(trees())
def test_diff_of_a_tree_with_itself_is_empty(tree):
    assert diff_trees(tree, tree) == []
    assert diff_trees(tree, copy.deepcopy(tree)) == []


@given(tree_and_edit(pieces=[p for p in PIECES if p != "#"]))
def test_diff_reversed_swaps_added_and_removed(pair):
    # Without "#" in kinds a match key names one kind and one identity. The
    # roots pair whatever their keys, so they must have the same one.
    a, b = pair
    assume(key(a) == key(b))
    swap = {"Added": "Removed", "Removed": "Added", "Modified": "Modified"}

    def rows(changes, flip):
        return sorted((swap[c["kind"]] if flip else c["kind"], c["elem_type"], c["id"]) for c in changes)

    assert rows(diff_trees(a, b), True) == rows(diff_trees(b, a), False)


@given(trees())
def test_added_and_removed_subtrees_report_each_identified_node_parents_first(tree):
    tree = dict(tree)
    tree.pop("identity", None)
    empty = {"kind": tree["kind"]}
    identified = [n for child in tree.get("children", []) for n in all_nodes(child) if "identity" in n]
    added = diff_trees(empty, tree)
    if identified:
        assert added == [{"kind": "Added", "elem_type": n["kind"], "id": n["identity"]} for n in identified]
    removed = diff_trees(tree, empty)
    # Removed sub-trees come by key in byte order (code point order of the
    # UTF-8 text), each parents first.
    order = sorted(tree.get("children", []), key=key)
    expected = [n for child in order for n in all_nodes(child) if "identity" in n]
    if expected:
        assert [(c["kind"], c["id"]) for c in removed] == [("Removed", n["identity"]) for n in expected]


# --- tree merge ----------------------------------------------------------------------------------


@given(trees())
def test_merging_three_equal_trees_gives_that_tree(tree):
    assert merge_trees(tree, tree, copy.deepcopy(tree)) == (tree, 0)


@given(tree_and_edit())
def test_merging_with_theirs_unchanged_gives_ours(pair):
    base, ours = pair
    merged, conflicts = merge_trees(base, ours, base)
    assert conflicts == 0
    if not kinds_of(diff_trees(base, ours), "Removed"):
        assert merged == ours


@given(tree_and_edit())
def test_merging_with_ours_unchanged_loses_no_identified_node(pair):
    base, theirs = pair
    merged, conflicts = merge_trees(base, base, theirs)
    assert conflicts == 0
    assert kinds_of(diff_trees(base, merged), "Removed") == []


@given(three_way())
def test_merging_two_equal_sides_gives_that_side(triple):
    base, ours, _ = triple
    assert merge_trees(base, ours, copy.deepcopy(ours))[0] == ours


def first_match(tree, path):
    """Follows match keys from the root, entering the first child with each."""
    node = tree
    for k in path:
        node = next((c for c in node.get("children", []) if key(c) == k), None)
        if node is None:
            return None
    return node


def first_occurrences(tree):
    """(path, node) for every node that first-match lookup reaches."""
    out, stack = [], [((), tree)]
    while stack:
        path, node = stack.pop()
        out.append((path, node))
        seen = set()
        for child in node.get("children", []):
            if key(child) not in seen:
                seen.add(key(child))
                stack.append((path + (key(child),), child))
    return out


@given(three_way())
def test_ours_keeps_its_changes_on_identified_nodes(triple):
    base, ours, theirs = triple
    merged, _ = merge_trees(base, ours, theirs)
    for path, node in first_occurrences(ours):
        old = first_match(base, path)
        if "identity" not in node or old is None or old["kind"] != node["kind"] or path == ():
            continue
        now = first_match(merged, path)
        mine, was = node.get("attributes", {}), old.get("attributes", {})
        for name in set(mine) | set(was):
            if mine.get(name, "") != was.get(name, ""):
                assert now.get("attributes", {}).get(name, "") == mine.get(name, ""), (path, name)
        if node.get("text", "") != old.get("text", ""):
            assert now.get("text", "") == node.get("text", "")


# --- repository ----------------------------------------------------------------------------------


def rebuilds_exactly(tree):
    for node in all_nodes(tree):
        if node.get("identity") == node["kind"]:
            return False
        elements = [c.get("identity", c["kind"]) for c in node.get("children", [])]
        if len(elements) != len(set(elements)):
            return False
    return True


@given(trees(), texts())
def test_commit_then_tree_at_gives_the_tree_back(tree, message):
    repo = Repo()
    cid = repo.commit(message, [], tree)
    back = repo.tree_at(cid)
    if rebuilds_exactly(tree):
        assert back == tree
    assert rebuilds_exactly(back)
    assert repo.tree_at(repo.commit(message, [cid], back)) == back


@st.composite
def histories(draw):
    """Commit plans: (message, parent indexes, tree); an index of -1 names an
    id that is never stored. Later trees are edits of earlier ones."""
    plans, trees_so_far = [], [draw(trees())]
    for i in range(draw(st.integers(1, 6))):
        parents = draw(st.lists(st.integers(-1, i - 1), max_size=3)) if i else []
        tree = draw(edited(draw(st.sampled_from(trees_so_far))))
        trees_so_far.append(tree)
        plans.append((draw(texts()), parents, tree))
    return plans


def build(plans):
    repo, ids = Repo(), []
    for message, parents, tree in plans:
        ids.append(repo.commit(message, [ids[p] if p >= 0 else 999 for p in parents], tree))
    return repo, ids


@given(histories())
def test_cherry_pick_onto_the_first_parent_gives_the_commit(plans):
    repo, ids = build(plans)
    count = len(repo)
    for cid, (_, parents, _) in zip(ids, plans):
        if parents and parents[0] >= 0:
            assert repo.cherry_pick(cid, ids[parents[0]]) == repo.tree_at(cid)
    assert len(repo) == count


@given(histories())
def test_revert_onto_itself_gives_the_first_parent(plans):
    repo, ids = build(plans)
    for cid, (_, parents, _) in zip(ids, plans):
        if not parents:
            assert repo.revert(cid, cid) == {"kind": ""}
        elif parents[0] >= 0:
            assert repo.revert(cid, cid) == repo.tree_at(ids[parents[0]])


def rows_of(repo, cid, outsider):
    """A commit's entries as {path: text form}, read through a diff from a
    commit that shares no path with it."""
    return {tuple(p): after for p, _, after in repo.diff(outsider, cid) if after is not None}


@given(histories())
def test_diff_rows_applied_in_order_turn_a_into_b(plans):
    repo, ids = build(plans)
    outsider = repo.commit("", [], {"kind": "z", "identity": "\x01outside"})
    for a in ids:
        for b in ids:
            state = rows_of(repo, a, outsider)
            rows = repo.diff(a, b)
            assert [tuple(p) for p, _, _ in rows] == sorted(tuple(p) for p, _, _ in rows)
            for path, before, after in rows:
                assert before != after
                assert state.get(tuple(path)) == before
                if after is None:
                    del state[tuple(path)]
                else:
                    state[tuple(path)] = after
            assert state == rows_of(repo, b, outsider)


ESCAPED = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Mn", "Me"}


@given(histories())
def test_value_text_forms_escape_invisible_characters(plans):
    repo, ids = build(plans)
    for a in ids:
        for _, before, after in repo.diff(ids[0], a):
            for text in (before, after):
                if text is None:
                    continue
                assert text.startswith('Value { kind: "') and text.endswith(" }")
                for ch in text:
                    cat = unicodedata.category(ch)
                    assert cat not in ESCAPED and (cat != "Zs" or ch == " "), repr(ch)


@given(histories())
def test_log_lists_each_reachable_commit_once(plans):
    repo, ids = build(plans)
    parents = {cid: [ids[p] if p >= 0 else 999 for p in plan[1]] for cid, plan in zip(ids, plans)}
    # Depth-first from head, last parent first; ids that are not stored stop the walk.
    expected, seen, stack = [], set(), [ids[-1]]
    while stack:
        x = stack.pop()
        if x in seen:
            continue
        seen.add(x)
        if x in parents:
            expected.append(x)
            stack.extend(parents[x])
    log = [cid for cid, _ in repo.log()]
    assert log == expected
    assert len(set(log)) == len(log) and len(repo) == len(set(ids))


@given(histories())
def test_merge_of_a_commit_with_itself_gives_its_tree(plans):
    repo, ids = build(plans)
    for cid in ids:
        assert repo.merge(cid, cid) == (repo.tree_at(cid), [])
    assert len(repo) == len(set(ids))


# --- stateful: nothing stored is ever lost or changed ------------------------------------------

from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule  # noqa: E402

from conftest import panic_type  # noqa: E402


class RepoMachine(RuleBasedStateMachine):
    """Random commits, history operations and failing calls on one Repo.
    Every commit keeps its tree, failures store no commit, and the log lists
    each reachable commit once."""

    def __init__(self):
        super().__init__()
        self.repo = Repo()
        self.trees = {}  # commit id -> tree_at when it was made
        self.last_tree = {"kind": "doc"}

    def some_id(self, data):
        # What is drawn must not depend on the ids themselves: they hold the
        # clock's second, so a rerun of the same example can see other ones.
        pick = data.draw(st.integers(0, 63))
        if self.trees and pick % 5:
            return list(self.trees)[pick % len(self.trees)]
        return data.draw(st.integers(0, 2**64 - 1))

    @rule(data=st.data())
    def commit(self, data):
        tree = data.draw(st.one_of(trees(), edited(self.last_tree)))
        parents = [self.some_id(data) for _ in range(data.draw(st.integers(0, 2)))]
        cid = self.repo.commit(data.draw(texts()), parents, tree)
        self.trees.setdefault(cid, self.repo.tree_at(cid))
        self.last_tree = tree

    @rule(data=st.data(), bad=st.sampled_from([{"identity": 5}, {"children": [[]]}, {"text": "\ud800"}]))
    def failing_commit(self, data, bad):
        count = len(self.repo)
        try:
            self.repo.commit("bad", [self.some_id(data)], {"kind": "doc", "children": [bad]})
        except (TypeError, UnicodeEncodeError):
            pass
        assert len(self.repo) == count

    @rule(data=st.data(), op=st.sampled_from(["merge", "cherry_pick", "revert", "diff", "tree_at"]))
    def history_op(self, data, op):
        count = len(self.repo)
        args = [self.some_id(data) for _ in range(1 if op == "tree_at" else 2)]
        try:
            getattr(self.repo, op)(*args)
        except ValueError as exc:  # a change that does not fit
            assert str(exc).startswith("ApplyError { location: [")
        except BaseException as exc:
            if not isinstance(exc, panic_type()):
                raise
            assert str(exc) == "no entry found for key"
            # merge, cherry_pick and revert also look up the merge base or a
            # first parent, which may be an id that was never stored.
            assert any(a not in self.trees for a in args) or op in ("merge", "cherry_pick", "revert")
        assert len(self.repo) == count

    @invariant()
    def commits_keep_their_trees(self):
        assert len(self.repo) == len(self.trees)
        for cid, tree in self.trees.items():
            assert self.repo.tree_at(cid) == tree

    @precondition(lambda self: self.trees)
    @invariant()
    def log_lists_commits_once(self):
        ids = [cid for cid, _ in self.repo.log()]
        assert len(ids) == len(set(ids)) and set(ids) <= set(self.trees)


test_repo_state_machine = RepoMachine.TestCase
