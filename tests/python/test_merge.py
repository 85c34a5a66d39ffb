import pytest

import vext_py
from conftest import node
from vext_py import merge_trees


BASE = node("doc", children=[node("A", "1", attrs={"x": "a"}), node("B", "2", text="t")])


class TestMergeTrees:
    def test_equal_trees_merge_to_themselves(self):
        tree = {"kind": "doc", "label": "L", "children": [{"kind": "p", "text": "x"}], "junk": 1}
        expected = {"kind": "doc", "label": "L", "children": [{"kind": "p", "text": "x"}]}
        assert merge_trees(tree, tree, tree) == (expected, 0)

    def test_worked_case(self):
        ours = node("doc", children=[node("A", "1", attrs={"x": "b"})])
        theirs = node("doc", children=[node("A", "1", attrs={"x": "c"}), node("B", "2", text="t"), node("C", "3")])
        merged, conflicts = merge_trees(BASE, ours, theirs)
        assert conflicts == 1
        assert merged == node("doc", children=[node("A", "1", attrs={"x": "b"}), node("C", "3"), node("B", "2", text="t")])

    def test_keywords_in_any_order(self):
        ours = node("doc", children=[node("A", "1", attrs={"x": "b"}), node("B", "2", text="t")])
        theirs = node("doc", children=[node("A", "1", attrs={"x": "a", "y": "2"}), node("B", "2", text="u")])
        assert merge_trees(theirs=theirs, base=BASE, ours=ours) == merge_trees(BASE, ours, theirs)
        merged, conflicts = merge_trees(BASE, ours, theirs)
        assert conflicts == 0
        assert merged["children"] == [node("A", "1", attrs={"x": "b", "y": "2"}), node("B", "2", text="u")]

    def test_theirs_removals_stay_and_removed_attributes_are_emptied(self):
        theirs = node("doc", children=[node("A", "1")])
        merged, conflicts = merge_trees(BASE, BASE, theirs)
        assert conflicts == 0
        assert merged["children"] == [node("A", "1", attrs={"x": ""}), node("B", "2", text="t")]

    def test_two_attribute_conflicts_count_two(self):
        base = node("r", "r", attrs={"a": "0", "b": "0"})
        ours = node("r", "r", attrs={"a": "1", "b": "1"})
        theirs = node("r", "r", attrs={"a": "2", "b": "2"})
        for _ in range(5):
            assert merge_trees(base, ours, theirs) == (ours, 2)

    def test_deep_chain_merges(self):
        from conftest import chain, chain_depth

        base = chain(100_000, "x")
        merged, conflicts = merge_trees(base, chain(100_000, "x"), chain(100_000, "y"))
        assert conflicts == 0 and chain_depth(merged) == 100_000

    def test_deep_identified_chains_changed_on_every_node(self):
        # One change per node on each side, and a conflict on each: the
        # changes' paths share their prefixes, so this stays small and fast.
        def identified_chain(text):
            node = {"kind": "c", "identity": "0", "text": text}
            for i in range(1, 100_000):
                node = {"kind": "c", "identity": str(i % 7), "text": text, "children": [node]}
            return node

        base, ours, theirs = (identified_chain(t) for t in "bot")
        assert len(vext_py.diff_trees(base, ours)) == 100_000
        merged, conflicts = merge_trees(base, ours, theirs)
        assert conflicts == 100_000
        texts = set()
        while merged is not None:
            texts.add(merged["text"])
            merged = merged.get("children", [None])[0]
        assert texts == {"o"}


class TestMergeErrors:
    def test_first_bad_argument_decides(self):
        with pytest.raises(TypeError, match="^'list' object cannot be converted to 'PyDict'$"):
            merge_trees({}, [], 5)
        with pytest.raises(TypeError, match="'int'"):
            merge_trees({}, {}, {"identity": 5})
