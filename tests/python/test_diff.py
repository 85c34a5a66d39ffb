import importlib.metadata
import os
from pathlib import Path
import tomllib

import pytest

import vext_py
from vext_py import diff_trees


def change(kind, elem_type, id=""):
    return {"kind": kind, "elem_type": elem_type, "id": id}


class TestConversion:
    """Tree dicts come back through diff-free round trips: a diff of a tree with
    a copy that differs in one field shows exactly how that field was read."""

    def test_missing_or_unusable_kind_becomes_root(self):
        for kind in (None, 5, "\ud800"):
            assert diff_trees({"kind": kind, "text": "a"}, {"text": "b"}) == [change("Modified", "root")]

    def test_absent_and_empty_identity_differ(self):
        a = {"children": [{"kind": "p"}]}
        b = {"children": [{"kind": "p", "identity": ""}]}
        assert diff_trees(a, b) == [change("Added", "p", "")]

    def test_ignored_values_are_not_errors(self):
        tree = {"attributes": [("x", "1")], "children": ({"kind": "c"},), "other": 1}
        assert diff_trees(tree, {}) == []

    def test_none_means_absent(self):
        assert diff_trees({"label": None, "text": None, "identity": None}, {}) == []

    def test_attribute_dict_subclass_and_order(self):
        class Attrs(dict):
            pass

        a = {"identity": "r", "attributes": Attrs(x="1")}
        b = {"identity": "r", "attributes": {"x": "2"}}
        assert diff_trees(a, b) == [change("Modified", "root", "r")]


class TestConversionErrors:
    @pytest.mark.parametrize(
        ("tree", "message"),
        [
            ([], "'list' object cannot be converted to 'PyDict'"),
            ({"identity": 5}, "'int' object cannot be converted to 'PyString'"),
            ({"label": b"x"}, "'bytes' object cannot be converted to 'PyString'"),
            ({"text": 1.5}, "'float' object cannot be converted to 'PyString'"),
            ({"attributes": {"x": 1}}, "'int' object cannot be converted to 'PyString'"),
            ({"attributes": {"x": None}}, "'NoneType' object cannot be converted to 'PyString'"),
            ({"attributes": {1: "x"}}, "'int' object cannot be converted to 'PyString'"),
            ({"children": ["x"]}, "'str' object cannot be converted to 'PyDict'"),
        ],
    )
    def test_messages_are_the_same_at_any_depth(self, tree, message):
        nested = {"children": [{}, {"children": [tree]}]}
        for bad in (tree, nested):
            with pytest.raises(TypeError) as info:
                diff_trees(bad, {})
            assert str(info.value) == message

    def test_nested_class_uses_qualified_name(self):
        class Outer:
            class Inner:
                pass

        with pytest.raises(TypeError, match=r"^'TestConversionErrors.test_nested_class_uses_qualified_name.<locals>.Outer.Inner' object"):
            diff_trees({"children": [Outer.Inner()]}, {})

    def test_lone_surrogate_raises_unicode_error(self):
        with pytest.raises(UnicodeEncodeError):
            diff_trees({"text": "\ud800"}, {})

    def test_first_argument_decides(self):
        with pytest.raises(TypeError, match="'list'"):
            diff_trees([], 5)
        with pytest.raises(TypeError, match="'int'"):
            diff_trees({}, 5)


class TestDiffTrees:
    def test_equal_trees_and_labels_give_nothing(self):
        assert diff_trees({}, {}) == []
        assert diff_trees({"label": "a"}, {"label": "b"}) == []

    def test_identified_child_added(self):
        assert diff_trees({}, {"children": [{"kind": "item", "identity": "7"}]}) == [change("Added", "item", "7")]

    def test_keywords_in_any_order(self):
        a, b = {"text": "x"}, {"kind": "doc", "text": "y"}
        assert diff_trees(b=b, a=a) == diff_trees(a, b) == [change("Modified", "doc")]

    def test_worked_case(self):
        old = {"children": [{"kind": "section", "identity": "intro", "text": "a"}, {"kind": "p", "text": "x"}]}
        new = {
            "children": [
                {"kind": "p", "text": "y"},
                {"kind": "section", "identity": "intro", "text": "b"},
                {"kind": "note", "identity": "tip"},
            ]
        }
        assert diff_trees(old, new) == [change("Modified", "section", "intro"), change("Added", "note", "tip")]

    def test_removed_reported_in_key_order(self):
        old = {"children": [{"kind": "q", "identity": "2"}, {"kind": "p", "identity": "1"}]}
        assert diff_trees(old, {}) == [change("Removed", "p", "1"), change("Removed", "q", "2")]

    def test_result_dicts_are_fresh(self):
        first = diff_trees({}, {"children": [{"kind": "a", "identity": "1"}]})
        first[0]["kind"] = "changed"
        assert diff_trees({}, {"children": [{"kind": "a", "identity": "1"}]})[0]["kind"] == "Added"

    def test_non_ascii_round_trip(self):
        tree = {"kind": "ü", "identity": "日本", "children": [{"kind": "x", "identity": "😀"}]}
        assert diff_trees({"kind": "ü", "identity": "日本"}, tree) == [change("Added", "x", "😀")]


def installed_version():
    """The distribution's version; a module run from its build folder (the
    sanitizer run) has no metadata, so there the project file says it."""
    if os.environ.get("VEXT_SANITIZED"):
        project = Path(__file__).resolve().parents[2] / "pyproject.toml"
        return tomllib.loads(project.read_text())["project"]["version"]
    return importlib.metadata.version("vext")


def test_module_attributes():
    assert vext_py.__version__ == installed_version()
    assert vext_py.__doc__ == ""
    assert vext_py.diff_trees.__doc__ is None
    assert vext_py.diff_trees.__text_signature__ == "(a, b)"
