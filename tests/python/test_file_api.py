"""The file and JSON-value API of the vext package: the same results as the
command, and JSON values that go to trees and back unchanged."""

import io
import json
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import vext

BASE = b'{\n  "name": "app",\n  "deps": {"a": "1.0", "b": "2.0"},\n  "tags": ["x", "y"]\n}\n'
OURS = BASE.replace(b'"1.0"', b'"1.1"').replace(b'"x", ', b"")
THEIRS = BASE.replace(b'"1.0"', b'"1.2"').replace(b'"app"', b'"service"')

JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner) | st.dictionaries(st.text(), inner),
    max_leaves=25,
)


def command(*args, cwd):
    return subprocess.run([sys.executable, "-m", "vext", *args], capture_output=True, cwd=cwd, timeout=120)


class TestJsonValues:
    @given(JSON_VALUES)
    def test_values_are_the_trees_of_their_files_and_come_back(self, value):
        data = json.dumps(value).encode()
        tree = vext.from_json(value)
        assert tree == vext.read_file(data)
        assert vext.to_json(tree) == value
        assert vext.to_json(vext.read_file(data)) == json.loads(data)

    def test_depth_is_bounded_by_the_tree_limit_only(self):
        deep = []
        for _ in range(100_000):
            deep = [deep, {"k": None}]
        back, depth = vext.to_json(vext.from_json(deep)), 0
        while back:  # compared level by level: == would recurse
            assert back[1] == {"k": None}
            back, depth = back[0], depth + 1
        assert depth == 100_000
        cycle = {"a": []}
        cycle["a"].append(cycle)
        with pytest.raises(ValueError, match="nested deeper than 200000 levels"):
            vext.from_json(cycle)

    @pytest.mark.parametrize(("value", "error", "message"), [
        (float("nan"), ValueError, "not JSON compliant"),
        ([1, float("-inf")], ValueError, "not JSON compliant"),
        ({"a": {(1, 2): 3}}, TypeError, "keys must be str, not tuple"),
        ([b"bytes"], TypeError, "Object of type bytes is not JSON serializable"),
        ({"s": "\ud800"}, UnicodeEncodeError, "surrogate"),
    ])
    def test_values_json_cannot_hold_are_refused(self, value, error, message):
        with pytest.raises(error, match=message):
            vext.from_json(value)

    @pytest.mark.parametrize(("tree", "message"), [
        ({"kind": "object", "children": [{"kind": "null"}]}, "the member at /0 has no name"),
        ({"kind": "array", "children": [{"kind": "null", "identity": "k"}]}, "the item at /0 has a name"),
        ({"kind": "object", "children": [{"kind": "null", "identity": "a"}] * 2}, "two members named 'a'"),
        ({"kind": "object", "children": [{"kind": "number", "identity": "a/b~", "text": "01"}]},
         "node at /a~1b~0 has a text its kind cannot hold"),
        ({"kind": "array", "children": [{"kind": "boolean", "text": "yes"}]}, "node at /0 has a text"),
        ({"kind": "array", "children": [{"kind": "p", "text": "x"}]}, "node at /0 is of a kind JSON does not have"),
        ({"kind": "string", "text": "x", "attributes": {"a": "1"}}, "at \\(root\\) has a label or attributes"),
        ({"kind": "null", "children": [{"kind": "null"}]}, "has children"),
    ])
    def test_trees_that_are_no_json_value_are_refused(self, tree, message):
        with pytest.raises(ValueError, match=message):
            vext.to_json(tree)

    def test_a_merge_of_json_values(self):
        base, ours, theirs = (json.loads(d) for d in (BASE, OURS, THEIRS))
        tree, conflicts = vext.merge(*map(vext.from_json, (base, ours, theirs)))
        assert vext.to_json(tree) == {"name": "service", "deps": {"a": "1.1", "b": "2.0"}, "tags": ["y"]}
        assert [str(c) for c in conflicts] == [
            '/object[@id="deps"]/string[@id="a"] text: base "1.0", ours "1.1", theirs "1.2"'
        ]


class TestFiles:
    def test_sources_are_paths_bytes_or_binary_files(self, tmp_path):
        (tmp_path / "base.json").write_bytes(BASE)
        by_path = vext.read_file(tmp_path / "base.json")
        assert by_path == vext.read_file(str(tmp_path / "base.json")) == vext.read_file(BASE)
        assert by_path == vext.read_file(io.BytesIO(BASE)) == vext.from_json(json.loads(BASE))
        with pytest.raises(vext.FormatError, match="line 1"), open(tmp_path / "base.json", "rb") as f:
            f.read(5)  # read from where the file stands
            vext.read_file(f)

    def test_results_read_as_the_command_prints_them(self, tmp_path):
        for name, data in (("base", BASE), ("ours", OURS), ("theirs", THEIRS)):
            (tmp_path / f"{name}.json").write_bytes(data)
        changes = vext.diff_files(tmp_path / "base.json", OURS)
        printed = command("diff", "base.json", "ours.json", cwd=tmp_path)
        assert [str(c) + "\n" for c in changes] == printed.stdout.decode().splitlines(keepends=True)
        assert changes[0] == vext.FileChange("update", "/deps/a", "text", "1.0", "1.1")
        assert changes[1].op == "remove" and changes[1].old == "\"x\"" and changes[1].new is None

        data, conflicts = vext.merge_files(BASE, OURS, io.BytesIO(THEIRS))
        merged = command("merge", "base.json", "ours.json", "theirs.json", cwd=tmp_path)
        assert data == merged.stdout and merged.returncode == 1
        assert ["vext: " + str(c) for c in conflicts] == merged.stderr.decode().splitlines()
        assert str(conflicts[0]) == 'conflict: /deps/a text: base "1.0", ours "1.1", theirs "1.2"'
        kept, _ = vext.merge_files(BASE, OURS, THEIRS, markers=False)
        assert json.loads(kept) == {"name": "service", "deps": {"a": "1.1", "b": "2.0"}, "tags": ["y"]}
