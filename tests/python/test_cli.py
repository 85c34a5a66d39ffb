"""The vext command, run as the installed console script, and its tree files."""

import json
import subprocess
import sysconfig
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vext_py
from conftest import chain, chain_depth
from vext_cli import deepjson
from vext_cli.treefile import MAX_DEPTH, check_tree, parse_json, parse_xml, render_json, render_xml

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
VEXT = Path(sysconfig.get_path("scripts")) / "vext"


def vext(*args, stdin=None, cwd=EXAMPLES):
    return subprocess.run([VEXT, *map(str, args)], input=stdin, capture_output=True, text=True, cwd=cwd, timeout=120)


def write(directory, name, text):
    path = directory / name
    path.write_text(text, encoding="utf-8")
    return path


MERGED_GUIDE = """\
<?xml version="1.0" encoding="utf-8"?>
<guide id="vext-guide" lang="en">
  <title id="title">vext in ten minutes</title>
  <section id="intro" level="1">Trees go in and come out as plain dicts, documents as XML.</section>
  <section id="install" level="1">pip install vext</section>
  <section id="diff" level="1">diff_trees lists the changed nodes by identity.</section>
  <section id="merge" level="2">merge_trees merges two versions of one tree.</section>
  <section id="faq" level="1">Questions and answers.</section>
</guide>
"""


class TestDiff:
    def test_sample_lists_one_aligned_line_per_change(self):
        result = vext("diff", "guide-base.xml", "guide-ours.xml")
        assert (result.returncode, result.stderr) == (1, "")
        assert result.stdout == (
            "Modified  section  intro\n"
            "Added     section  install\n"
            "Modified  section  merge\n"
        )

    def test_json_output_is_the_module_result(self):
        result = vext("diff", "--json", "config-base.json", "config-theirs.json")
        assert result.returncode == 1
        base = json.loads((EXAMPLES / "config-base.json").read_text())
        theirs = json.loads((EXAMPLES / "config-theirs.json").read_text())
        assert json.loads(result.stdout) == vext_py.diff_trees(base, theirs)

    def test_same_tree_in_xml_and_json_has_no_differences(self, tmp_path):
        xml = write(tmp_path, "a.xml", '<doc  key="r" b="2" a="1">\n  <p>\n   x <i>y</i> z\n  </p>\n  <p id=""/>\n</doc>')
        tree = {"kind": "doc", "attributes": {"key": "r", "b": "2", "a": "1"},
                "children": [{"kind": "p", "text": "x z", "children": [{"kind": "i", "text": "y"}]},
                             {"kind": "p", "identity": ""}]}
        same = write(tmp_path, "b.json", json.dumps(tree))
        assert (vext("diff", xml, same).returncode, vext("diff", same, xml).stdout) == (0, "")
        # With another identity attribute, "key" is the identity and "id" a plain attribute.
        tree["identity"] = tree["attributes"].pop("key")
        tree["children"][1] = {"kind": "p", "attributes": {"id": ""}}
        write(tmp_path, "b.json", json.dumps(tree))
        assert vext("diff", "--id-attr", "key", xml, same).returncode == 0
        assert vext("diff", xml, same).stdout == 'Removed   p    ""\nModified  doc  r\n'

    def test_reads_standard_input_and_quotes_unclear_identities(self, tmp_path):
        old = write(tmp_path, "old.json", '{"text": "a"}')
        result = vext("diff", old, "-", stdin='{"text": "b", "children": [{"kind": "x", "identity": "a b"}]}')
        assert (result.returncode, result.stdout) == (1, 'Added     x  "a b"\n')


class TestMerge:
    def test_xml_sample_keeps_ours_at_the_conflict(self):
        result = vext("merge", "guide-base.xml", "guide-ours.xml", "guide-theirs.xml")
        assert (result.returncode, result.stdout) == (1, MERGED_GUIDE)
        assert result.stderr == "vext: 1 conflict; ours was kept\n"

    def test_json_sample_merges_cleanly_into_a_file(self, tmp_path):
        out = tmp_path / "merged.json"
        result = vext("merge", "config-base.json", "config-ours.json", "config-theirs.json", "-o", out)
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
        merged = json.loads(out.read_text())
        trees = [json.loads((EXAMPLES / f"config-{side}.json").read_text()) for side in ("base", "ours", "theirs")]
        assert merged == vext_py.merge_trees(*trees)[0]
        assert [c["identity"] for c in merged["children"]] == ["web", "api", "search", "export", "admin"]

    def test_output_format_follows_the_extension_and_json_reports(self, tmp_path):
        out = tmp_path / "merged.json"
        result = vext("merge", "--json", "guide-base.xml", "guide-ours.xml", "guide-theirs.xml", "-o", out)
        assert (result.returncode, json.loads(result.stdout)) == (1, {"conflicts": 1})
        report = json.loads(vext("merge", "--json", "guide-base.xml", "guide-ours.xml", "guide-theirs.xml").stdout)
        assert json.loads(out.read_text()) == report["merged"] == parse_xml(MERGED_GUIDE.encode(), "x")

    def test_can_overwrite_ours_like_a_git_merge_driver(self, tmp_path):
        ours = write(tmp_path, "ours", (EXAMPLES / "guide-ours.xml").read_text())
        result = vext("merge", "guide-base.xml", ours, "guide-theirs.xml", "-o", ours)
        assert (result.returncode, ours.read_text()) == (1, MERGED_GUIDE)


TROUBLE = [
    ("missing.json", None, "missing.json: No such file or directory"),
    ("bad.json", '{"kind": }', "bad.json: invalid JSON: Expecting value at line 1 column 10"),
    ("bad.json", "[]", "bad.json: not a tree: the top-level value is an array, expected an object"),
    ("bad.json", '{"childs": []}', 'bad.json: not a tree: the top-level value has the unknown key "childs"'),
    ("bad.json", '{"children": [{}, {"identity": 5}]}',
     "bad.json: not a tree: children[1].identity is a number, expected a string or null"),
    ("bad.json", '{"children": {"kind": "p"}}', "bad.json: not a tree: children is an object, expected an array"),
    ("bad.json", '{"attributes": {"x": null}}', "bad.json: not a tree: attributes.x is null, expected a string"),
    ("bad.json", '{"text": "\\ud800"}', "bad.json: not a tree: text holds an unpaired surrogate"),
    ("bad.json", b'{"text": "\xff"}', "bad.json: invalid JSON: not UTF-8 text"),
    ("bad.xml", "<doc><p></doc>", "bad.xml: invalid XML: mismatched tag: line 1, column 10"),
    ("bad.xml", '<!DOCTYPE d [<!ENTITY a "aaaa">]><d>&a;</d>',
     "bad.xml: refused XML: entity declarations are not allowed (line 1)"),
    ("bad.xml", '<!DOCTYPE d [<!ENTITY e SYSTEM "file:///etc/hostname">]><d>&e;</d>',
     "bad.xml: refused XML: entity declarations are not allowed"),
    ("bad.xml", '<!DOCTYPE d SYSTEM "d.dtd"><d>&nbsp;</d>',
     "bad.xml: refused XML: entity &nbsp; is not defined (external DTDs are not read)"),
]


class TestTrouble:
    @pytest.mark.parametrize(("name", "content", "message"), TROUBLE)
    def test_bad_input_gives_one_line_and_status_2(self, tmp_path, name, content, message):
        if isinstance(content, str):
            write(tmp_path, name, content)
        elif content is not None:
            (tmp_path / name).write_bytes(content)
        write(tmp_path, "good.json", "{}")
        calls = [("diff", "good.json", name)]
        if hasattr(vext_py, "merge_trees"):
            calls.append(("merge", "good.json", "good.json", name))
        for args in calls:
            result = vext(*args, cwd=tmp_path)
            assert (result.returncode, result.stdout) == (2, "")
            assert result.stderr.startswith(f"vext: {message}") and result.stderr.count("\n") == 1

    @pytest.mark.parametrize("args", [(), ("frobnicate",), ("diff", "a"), ("diff", "--id-attr", "1x", "a", "b")])
    def test_bad_usage_is_status_2(self, args):
        result = vext(*args)
        assert result.returncode == 2 and result.stderr.startswith("usage: vext")

    @pytest.mark.parametrize(
        ("tree", "message"),
        [
            ({"kind": "a b"}, 'cannot write the root as XML: kind "a b" is not an XML name'),
            ({"kind": "r", "children": [{"kind": "p", "identity": "1", "label": "L"}]},
             'cannot write node "p#1" as XML: XML has no place for its label'),
            ({"kind": "r", "text": "\x01"}, "cannot write the root as XML: its text holds '\\x01'"),
            ({"kind": "r", "identity": "x", "attributes": {"id": "y"}},
             'cannot write the root as XML: it has an identity and an attribute named "id"'),
        ],
    )
    def test_trees_xml_cannot_hold_are_refused_on_output(self, tmp_path, tree, message):
        write(tmp_path, "t.json", json.dumps(tree))
        result = vext("merge", "t.json", "t.json", "t.json", "-o", "out.xml", cwd=tmp_path)
        assert result.returncode == 2 and result.stderr.startswith(f"vext: out.xml: {message}")
        assert not (tmp_path / "out.xml").exists()
        result = vext("merge", "t.json", "t.json", "t.json", "-o", "no/such/dir/out.json", cwd=tmp_path)
        assert (result.returncode, result.stderr) == (2, "vext: no/such/dir/out.json: No such file or directory\n")

    def test_help_and_version(self):
        for args in (("--help",), ("diff", "--help"), ("merge", "--help")):
            result = vext(*args)
            assert result.returncode == 0 and result.stdout.startswith("usage: vext") and "exit status" in result.stdout
        assert vext("--version").stdout == f"vext {vext_py.__version__}\n"


class TestDepth:
    def test_deepest_xml_diffs_and_one_more_level_is_refused(self, tmp_path):
        for name, depth, text in (("a.xml", MAX_DEPTH, "x"), ("b.xml", MAX_DEPTH, "y"), ("c.xml", MAX_DEPTH + 1, "")):
            write(tmp_path, name, "<n>" * depth + text + "</n>" * depth)
        assert vext("diff", "a.xml", "b.xml", cwd=tmp_path).stdout == 'Modified  n  ""\n'
        result = vext("diff", "a.xml", "c.xml", cwd=tmp_path)
        assert (result.returncode, result.stderr) == (2, "vext: c.xml: refused XML: nested deeper than 200,000 levels (line 1)\n")

    def test_deep_trees_write_and_read_back_in_both_formats(self):
        # Far past Python's recursion limit and the json module's nesting limit.
        # Compared through their renderings: == on nested dicts recurses.
        xml, text = render_xml(chain(20_000, "leaf")), render_json(chain(20_000, "leaf"))
        assert render_xml(parse_xml(xml.encode(), "x")) == xml
        assert render_json(parse_json(text.encode(), "x")) == text
        assert chain_depth(parse_json(text.encode(), "x")) == 20_000
        assert check_tree(chain(MAX_DEPTH)) is None
        assert check_tree(chain(MAX_DEPTH + 1)) == "nested deeper than 200,000 levels"


NAMES = st.from_regex(r"[A-Za-z_][A-Za-z0-9._-]{0,6}", fullmatch=True).filter(lambda name: name != "id")
TEXTS = st.text(st.characters(codec="utf-8", exclude_categories=["Cs", "Cc", "Cn"]), max_size=8).map(str.strip)
TREES = st.recursive(
    st.fixed_dictionaries({"kind": NAMES}, optional={"identity": TEXTS, "text": TEXTS.filter(bool),
                                                      "attributes": st.dictionaries(NAMES, TEXTS, min_size=1)}),
    lambda kids: st.fixed_dictionaries({"kind": NAMES, "children": st.lists(kids, min_size=1, max_size=4)}),
    max_leaves=12,
)


class TestFormats:
    @settings(max_examples=150, deadline=None)
    @given(TREES)
    def test_trees_survive_both_formats(self, tree):
        text = render_json(tree)
        assert text == json.dumps(tree, indent=2, ensure_ascii=False) + "\n"
        assert parse_json(text.encode(), "x") == tree
        assert parse_xml(render_xml(tree).encode("utf-8"), "x") == tree

    @settings(max_examples=150, deadline=None)
    @given(st.recursive(st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
                        lambda inner: st.lists(inner) | st.dictionaries(st.text(), inner), max_leaves=20))
    def test_deep_json_reader_agrees_with_json(self, value):
        for text in (json.dumps(value), json.dumps(value, indent=1)):
            assert deepjson.loads(text) == json.loads(text)
        with pytest.raises(json.JSONDecodeError, match="Extra data"):
            deepjson.loads(json.dumps(value) + " 1")
