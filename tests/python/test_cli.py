"""The vext command, run as the installed console script."""

import contextlib
import json
import os
import pty
import re
import resource
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import sysconfig
import threading
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import vext
import vext_py
from conftest import chain, chain_depth
from vext import _core, _treejson, cli

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
SCRIPTS = Path(sysconfig.get_path("scripts"))
VEXT = SCRIPTS / "vext"

# Products in each file of the interrupted merge: enough for a few seconds' work.
BIG_COUNT = 400_000

def vext_run(*args, cwd, stdin=None, **kwargs):
    return subprocess.run([VEXT, *map(str, args)], input=stdin, capture_output=True, cwd=cwd, timeout=300, **kwargs)


def put(directory, **files):
    for name, content in files.items():
        (directory / name.replace("_", ".")).write_bytes(content.encode() if isinstance(content, str) else content)


def catalog(*products, root="catalog"):
    rows = "".join(f'  <product id="{pid}" price="{price}"><name>{name}</name></product>\n'
                   for pid, price, name in products)
    return f'<?xml version="1.0" encoding="utf-8"?>\n<!-- stock -->\n<{root}>\n{rows}</{root}>\n'


BASE = catalog(("p1", 10, "Lamp"), ("p2", 20, "Desk"), ("p3", 30, "Chair"))
OURS = catalog(("p1", 12, "Lamp"), ("p2", 20, "Desk"), ("p3", 30, "Chair"))
THEIRS = catalog(("p1", 10, "Lamp"), ("p2", 20, "Desk"), ("p3", 30, "Armchair"))
MERGED = catalog(("p1", 12, "Lamp"), ("p2", 20, "Desk"), ("p3", 30, "Armchair"))
JSON_BASE = '{\n  "name": "app",\n  "port": 8080,\n  "tags": ["a", "b"]\n}\n'
JSON_OURS = '{\n  "name": "app",\n  "port": 9090,\n  "tags": ["a", "b"]\n}\n'
JSON_THEIRS = '{\n  "name": "app",\n  "port": 8080,\n  "tags": ["a", "b", "c"]\n}\n'
JSON_MERGED = '{\n  "name": "app",\n  "port": 9090,\n  "tags": ["a", "b", "c"]\n}\n'


class TestDiff:
    def test_one_located_line_per_change(self, tmp_path):
        new = catalog(("p1", 12, "Lamp"), ("p3", 30, "Armchair"), ("p4", 40, "Sofa"))
        put(tmp_path, old_xml=BASE, new_xml=new, a_json=JSON_BASE, b_json=JSON_THEIRS)
        result = vext_run("diff", "old.xml", "new.xml", cwd=tmp_path)
        assert (result.returncode, result.stderr) == (1, b"")
        assert result.stdout.decode().splitlines() == [
            'update /catalog/product[@id="p1"]/@price attribute: "10" -> "12"',
            'remove /catalog/product[@id="p2"] node: "<product id=\\"p2\\" price=\\"20\\"><name>Desk</name></product>"',
            'update /catalog/product[@id="p3"]/name text: "Chair" -> "Armchair"',
            'insert /catalog/product[@id="p4"] node: "<product id=\\"p4\\" price=\\"40\\"><name>Sofa</name></product>"',
        ]
        result = vext_run("diff", "--json", "a.json", "b.json", cwd=tmp_path)
        assert json.loads(result.stdout) == [{"op": "insert", "path": "/tags/2", "what": "node", "old": None, "new": '"c"'}]
        same = vext_run("diff", "old.xml", "-", stdin=BASE.encode(), cwd=tmp_path)
        assert (same.returncode, same.stdout, same.stderr) == (0, b"", b"")
        # A header names the files, and git's external diff form asks for it.
        result = vext_run("diff", "--header", "a.json", "b.json", cwd=tmp_path)
        assert result.stdout.decode() == 'diff a.json b.json\ninsert /tags/2 node: "\\"c\\""\n'
        git_form = ["conf/app.json", "a.json", "0" * 40, "100644", "b.json", "1" * 40, "100644"]
        result = vext_run("diff", *git_form, cwd=tmp_path)
        assert (result.returncode, result.stdout.decode()) == (0, 'diff a/conf/app.json b/conf/app.json\n'
                                                               'insert /tags/2 node: "\\"c\\""\n')
        assert vext_run("diff", *git_form[:4], cwd=tmp_path).returncode == 2

    def test_values_are_cut_and_nothing_forges_a_line(self, tmp_path):
        put(tmp_path, old_json='{"a\\nupdate /x text": "x", "long": "' + "y" * 100 + '"}',
            new_json='{"a\\nupdate /x text": "\\u001b[31mred\\r", "long": "' + "z" * 100 + '"}',
            old_xml='<r><p id="one&#10;two">a</p></r>', new_xml='<r><p id="one&#10;two">b</p></r>')
        result = vext_run("diff", "old.json", "new.json", cwd=tmp_path)
        assert result.stdout.decode().splitlines() == [
            'update /a\\nupdate ~1x text text: "x" -> "\\x1b[31mred\\r"',
            f'update /long text: "{"y" * 59}\u2026" -> "{"z" * 59}\u2026"',
        ]
        result = vext_run("diff", "old.xml", "new.xml", cwd=tmp_path)
        assert result.stdout.decode() == 'update /r/p[@id="one\\ntwo"] text: "a" -> "b"\n'


class TestMerge:
    def test_both_sides_land_in_ours_layout(self, tmp_path):
        put(tmp_path, base_xml=BASE, ours_xml=OURS, theirs_xml=THEIRS,
            base_json=JSON_BASE, ours_json=JSON_OURS, theirs_json=JSON_THEIRS)
        result = vext_run("merge", "base.xml", "ours.xml", "theirs.xml", cwd=tmp_path)
        assert (result.returncode, result.stdout.decode(), result.stderr) == (0, MERGED, b"")
        result = vext_run("merge", "base.json", "ours.json", "theirs.json", "-o", "ours.json", cwd=tmp_path)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
        assert (tmp_path / "ours.json").read_text() == JSON_MERGED

    def test_conflicts_are_marked_reported_and_status_1(self, tmp_path):
        ours = catalog(("p1", 11, "Lamp"), ("p2", 20, "Desk"), ("p3", 30, "Chair"))
        put(tmp_path, base_xml=BASE, ours_xml=ours, theirs_xml=catalog(("p1", 13, "Lamp"), ("p2", 20, "Desk"),
                                                                       ("p3", 30, "Stool")))
        result = vext_run("merge", "base.xml", "ours.xml", "theirs.xml", "-o", "out.xml", cwd=tmp_path)
        assert (result.returncode, result.stdout) == (1, b"")
        assert result.stderr.decode() == (
            'vext: conflict: /catalog/product[@id="p1"]/@price attribute: base "10", ours "11", theirs "13"\n')
        assert (tmp_path / "out.xml").read_text() == catalog(("p1", 11, "Lamp"), ("p2", 20, "Desk"),
                                                             ("p3", 30, "Stool")).replace(
            '  <product id="p1" price="11"><name>Lamp</name></product>\n',
            '<<<<<<< ours\n  <product id="p1" price="11"><name>Lamp</name></product>\n'
            '||||||| base\n  <product id="p1" price="10"><name>Lamp</name></product>\n'
            '=======\n  <product id="p1" price="13"><name>Lamp</name></product>\n>>>>>>> theirs\n')
        result = vext_run("merge", "--ours", "--json", "base.xml", "ours.xml", "theirs.xml", "-o", "out.xml",
                          cwd=tmp_path)
        assert (result.returncode, result.stderr) == (1, b"")
        assert json.loads(result.stdout) == [{"path": '/catalog/product[@id="p1"]/@price', "what": "attribute",
                                              "base": "10", "ours": "11", "theirs": "13"}]
        assert ET.parse(tmp_path / "out.xml").getroot()[0].get("price") == "11"

    # A JSON member keeps its name across a change of type, and an XML root
    # element across a change of name: the change is an update of the node,
    # merged or marked like any other, never two members or two roots.
    KIND_CHANGES = [
        ("json", '{\n"port": 80,\n"x": 1\n}\n', '{\n"port": "80",\n"x": 1\n}\n', '{\n"port": 8080,\n"x": 1\n}\n',
         1, '{\n<<<<<<< ours\n"port": "80",\n||||||| base\n"port": 80,\n=======\n"port": 8080,\n>>>>>>> theirs\n'
            '"x": 1\n}\n',
         'vext: conflict: /port node: base "80", ours "\\"80\\"", theirs "8080"\n'),
        ("json", '{\n"f": true,\n"g": 1\n}\n', '{\n"g": 1\n}\n', '{\n"f": "yes",\n"g": 1\n}\n',
         1, '{\n<<<<<<< ours\n||||||| base\n"f": true,\n=======\n"f": "yes",\n>>>>>>> theirs\n"g": 1\n}\n',
         'vext: conflict: /f node: base "true", ours (none), theirs "\\"yes\\""\n'),
        ("json", '{\n"f": true,\n"g": 1\n}\n', '{\n"f": "yes",\n"g": 1\n}\n', '{\n"g": 1\n}\n',
         1, '{\n<<<<<<< ours\n"f": "yes",\n||||||| base\n"f": true,\n=======\n>>>>>>> theirs\n"g": 1\n}\n',
         'vext: conflict: /f node: base "true", ours "\\"yes\\"", theirs (none)\n'),
        ("json", '{\n"port": 80\n}\n', '{\n"port": "80"\n}\n', '{\n"port": [80]\n}\n',
         1, '{\n<<<<<<< ours\n"port": "80"\n||||||| base\n"port": 80\n=======\n"port": [80]\n>>>>>>> theirs\n}\n',
         'vext: conflict: /port node: base "80", ours "\\"80\\"", theirs "[80]"\n'),
        ("json", '{\n"port": 80,\n"x": 1\n}\n', '{\n"port": "80",\n"x": 1\n}\n', '{\n"port": 80,\n"x": 2\n}\n',
         0, '{\n"port": "80",\n"x": 2\n}\n', ""),
        ("json", '{\n"port": 80\n}\n', '{\n"port": {"n": 80}\n}\n', '{\n"port": {"n": 80}\n}\n',
         0, '{\n"port": {"n": 80}\n}\n', ""),
        ("json", '{\n"x": 1\n}\n', '{\n"x": 1,\n"new": 2\n}\n', '{\n"x": 1,\n"new": "2"\n}\n',
         1, '<<<<<<< ours\n{\n"x": 1,\n"new": 2\n}\n||||||| base\n{\n"x": 1\n}\n=======\n{\n"x": 1,\n"new": "2"\n}\n'
            '>>>>>>> theirs\n',
         'vext: conflict: /new node: base (none), ours "2", theirs "\\"2\\""\n'),
        ("xml", "<a>\n<b>1</b>\n</a>\n", "<z>\n<b>1</b>\n</z>\n", "<a>\n<b>1</b>\n<c/>\n</a>\n",
         1, "<<<<<<< ours\n<z>\n<b>1</b>\n</z>\n||||||| base\n<a>\n<b>1</b>\n</a>\n=======\n<a>\n<b>1</b>\n<c/>\n</a>\n"
            ">>>>>>> theirs\n",
         'vext: conflict: /a node: base "<a>\\n<b>1</b>\\n</a>", ours "<z>\\n<b>1</b>\\n</z>", '
         'theirs "<a>\\n<b>1</b>\\n<c/>\\n</a>"\n'),
        ("xml", "<!-- one -->\n<a>\n<b>1</b>\n</a>\n", "<!-- one -->\n<z>\n<b>1</b>\n</z>\n",
         "<!-- two -->\n<a>\n<b>1</b>\n</a>\n", 0, "<!-- two -->\n<z>\n<b>1</b>\n</z>\n", ""),
    ]

    @pytest.mark.parametrize(("ext", "base", "ours", "theirs", "status", "merged", "report"), KIND_CHANGES)
    def test_a_change_of_kind_is_an_update(self, tmp_path, ext, base, ours, theirs, status, merged, report):
        put(tmp_path, **{f"base_{ext}": base, f"ours_{ext}": ours, f"theirs_{ext}": theirs})
        names = [f"base.{ext}", f"ours.{ext}", f"theirs.{ext}"]
        result = vext_run("merge", *names, cwd=tmp_path)
        assert (result.returncode, result.stdout.decode(), result.stderr.decode()) == (status, merged, report)
        result = vext_run("merge", "--ours", *names, cwd=tmp_path)
        assert (result.returncode, result.stderr.decode()) == (status, report)
        if ext == "json":
            json.loads(result.stdout)
        else:
            assert ET.fromstring(result.stdout).tag == ET.fromstring(ours.encode()).tag
        for side in names[1:]:  # one line per changed node, not a removal and an insertion
            paths = [line.split()[1] for line in vext_run("diff", names[0], side, cwd=tmp_path).stdout.splitlines()]
            assert len(paths) == len(set(paths))

    def test_settings_files_with_comments_merge_and_keep_them(self, tmp_path):
        base = ('// Compiler settings\n{\n  "compilerOptions": {\n    /* Language */\n'
                '    "target": "es2019", // the output\n    "lib": ["es2019", "es2020",],\n  },\n'
                '  "include": ["src/**/*"], // "/*" in a string is text\n}\n')
        ours = base.replace('"es2019", //', '"es2022", //')
        theirs = base.replace('"es2020",]', '"es2020", "dom",]').replace(
            '  },\n', '    // Checks\n    "strict": true,\n  },\n')
        put(tmp_path, base_json=base, ours_json=ours, theirs_json=theirs)
        result = vext_run("diff", "base.json", "theirs.json", cwd=tmp_path)
        assert (result.returncode, result.stderr) == (1, b"")
        assert sorted(result.stdout.decode().splitlines()) == [
            'insert /compilerOptions/lib/2 node: "\\"dom\\""',
            'insert /compilerOptions/strict node: "true"',
        ]
        result = vext_run("merge", "base.json", "ours.json", "theirs.json", "-o", "ours.json", cwd=tmp_path)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
        assert (tmp_path / "ours.json").read_text() == theirs.replace('"es2019", //', '"es2022", //')
        # A conflict inside a commented file is marked as in any other.
        put(tmp_path, ours_json=base.replace('"es2019", //', '"es2022", //'),
            theirs_json=base.replace('"es2019", //', '"es2020", //'))
        result = vext_run("merge", "base.json", "ours.json", "theirs.json", "-o", "out.json", cwd=tmp_path)
        assert result.returncode == 1
        assert result.stderr.decode() == (
            'vext: conflict: /compilerOptions/target text: base "es2019", ours "es2022", theirs "es2020"\n')
        assert "<<<<<<< ours\n" in (tmp_path / "out.json").read_text()

    def test_identity_attributes_are_chosen(self, tmp_path):
        # With key as identity the two sides' items pair across a reordering;
        # by position they would conflict.
        base, ours, theirs = ('<r><i key="a" n="1"/><i key="b" n="2"/></r>', '<r><i key="b" n="2"/><i key="a" n="1"/></r>',
                              '<r><i key="a" n="1"/><i key="b" n="3"/></r>')
        put(tmp_path, base_xml=base, ours_xml=ours, theirs_xml=theirs, a_json="{}", b_json="[]")
        for args in (["--id-attr", "key"], ["--id-attr", "x", "--id-attr", "i@key"]):
            result = vext_run("merge", *args, "base.xml", "ours.xml", "theirs.xml", cwd=tmp_path)
            assert (result.returncode, result.stdout) == (0, b'<r><i key="b" n="3"/><i key="a" n="1"/></r>')
        result = vext_run("diff", "--id-attr", "key", "a.json", "b.json", cwd=tmp_path)
        assert (result.returncode, result.stderr) == (
            2, b"vext: a.json: identity attributes are given, but the file is JSON, which has none\n")
        result = vext_run("diff", "--id-attr", "i@", "base.xml", "ours.xml", cwd=tmp_path)
        assert result.returncode == 2 and b"ELEMENT@NAME" in result.stderr

    # Sibling lists without identities follow the same rule as identified ones.
    @pytest.mark.parametrize("ext, base, ours, theirs, status, merged", [
        # Two different reorderings conflict; nothing comes out twice.
        ("json", '{"l": ["A", "B", "C"]}', '{"l": ["B", "A", "C"]}', '{"l": ["B", "C", "A"]}', 1, None),
        ("xml", "<r><i>A</i><i>B</i><i>C</i></r>", "<r><i>B</i><i>A</i><i>C</i></r>",
         "<r><i>B</i><i>C</i><i>A</i></r>", 1, None),
        # A move on one side against a removal on the other: the removal stands.
        ("json", '{"l": ["A", "B", "C"]}', '{"l": ["B", "A", "C"]}', '{"l": ["B", "C"]}', 0, '{"l": ["B", "C"]}'),
        ("xml", "<r><i>A</i><i>B</i><i>C</i></r>", "<r><i>B</i><i>A</i><i>C</i></r>", "<r><i>B</i><i>C</i></r>", 0,
         "<r><i>B</i><i>C</i></r>"),
        # Both add a timeout after the port: different values conflict, equal ones are one.
        ("xml", "<c><port>80</port></c>", "<c><port>80</port><timeout>30</timeout></c>",
         "<c><port>80</port><timeout>60</timeout></c>", 1, None),
        ("xml", "<c><port>80</port></c>", "<c><port>80</port><timeout>30</timeout></c>",
         "<c><port>80</port><timeout>30</timeout></c>", 0, "<c><port>80</port><timeout>30</timeout></c>"),
        ("json", '{"l": [1]}', '{"l": [1, 30]}', '{"l": [1, 60]}', 1, None),
    ])
    def test_sibling_lists_without_identity(self, tmp_path, ext, base, ours, theirs, status, merged):
        put(tmp_path, **{f"base_{ext}": base, f"ours_{ext}": ours, f"theirs_{ext}": theirs})
        result = vext_run("merge", f"base.{ext}", f"ours.{ext}", f"theirs.{ext}", cwd=tmp_path)
        assert result.returncode == status, result.stderr
        if merged is not None:
            assert result.stdout.decode() == merged
        else:
            assert b"conflict" in result.stderr and b"<<<<<<< ours" in result.stdout


def _one_line_status_2(result, *needles):
    assert (result.returncode, result.stdout) == (2, b""), result.stderr
    line = result.stderr.decode()
    assert line.startswith("vext: ") and line.count("\n") == 1 and "Traceback" not in line, line
    for needle in needles:
        assert needle in line, line


BAD_INPUT = [
    ("missing.xml", None, ["missing.xml: No such file or directory"]),
    ("empty.xml", "", ["empty.xml: the file is empty"]),
    ("bad.xml", "<doc>\n<p></doc>", ["bad.xml: ", "(line 2, column"]),
    ("bad.json", '{"a": [1,}', ["bad.json: ", "(line 1, column"]),
    ("deep.xml", "<n>" * 200_001 + "</n>" * 200_001, ["deep.xml: "]),
    ("bogus.xml", '<?xml version="1.0" encoding="bogus"?><r/>', ["bogus.xml: ", "encoding"]),
    ("rot13.xml", '<?xml version="1.0" encoding="rot13"?><r/>', ["rot13.xml: ", "encoding"]),
    ("utf16.xml", '<?xml version="1.0" encoding="utf-16"?><r/>', ["utf16.xml: ", '"utf-16" but the file is not in it']),
    ("entity.xml", '<!DOCTYPE a SYSTEM "a.dtd"><a price="[&foo;]"/>', ["entity.xml: ", "foo"]),
    ("twice.json", '{"a": 1, "a": 2}', ["twice.json: "]),
    ("open.json", '{"a": 1 /* to the end', ["open.json: ", 'a comment "/*" is not closed (line 1, column 9)']),
    ("slash.json", '{"a": 1 / 2}', ["slash.json: ", "(line 1, column"]),
]


class TestHostileInput:
    @pytest.mark.parametrize(("name", "content", "needles"), BAD_INPUT, ids=[row[0] for row in BAD_INPUT])
    def test_refused_in_one_line(self, tmp_path, name, content, needles):
        if content is not None:
            put(tmp_path, **{name.replace(".", "_"): content})
        put(tmp_path, good_xml="<r/>", good_json="{}")
        good = "good.json" if name.endswith(".json") else "good.xml"
        _one_line_status_2(vext_run("diff", good, name, cwd=tmp_path), *needles)
        _one_line_status_2(vext_run("merge", good, name, good, "-o", "out", cwd=tmp_path), *needles)
        assert not (tmp_path / "out").exists()

    def test_standard_input_once(self, tmp_path):
        _one_line_status_2(vext_run("merge", "-", "-", "x", stdin=b"{}", cwd=tmp_path), "only once")

    def test_big_integers_and_id_named_attributes_round_trip(self, tmp_path):
        big = "1" * 5000
        put(tmp_path, a_json=f'{{"n": {big}, "m": 1}}', b_json=f'{{"n": {big}, "m": 2}}',
            a_xml='<r><x id="k"/><y><id>t</id></y></r>', b_xml='<r><x id="k" v="1"/><y><id>t</id></y></r>')
        result = vext_run("merge", "a.json", "a.json", "b.json", cwd=tmp_path)
        assert (result.returncode, result.stdout.decode()) == (0, f'{{"n": {big}, "m": 2}}')
        result = vext_run("diff", "--json", "a.json", "b.json", cwd=tmp_path)
        assert [row["path"] for row in json.loads(result.stdout)] == ["/m"]
        # --id-attr y@id: only y elements take an identity from "id"; x keeps its attribute.
        result = vext_run("merge", "--id-attr", "y@id", "a.xml", "a.xml", "b.xml", cwd=tmp_path)
        assert (result.returncode, result.stdout) == (0, b'<r><x id="k" v="1"/><y><id>t</id></y></r>')

    def test_names_are_written_only_if_they_read_back(self, tmp_path):
        side = '<r><note\U0001F600 a="{}"/></r>'
        put(tmp_path, a_xml=side.format(1), b_xml=side.format(2))
        result = vext_run("merge", "a.xml", "a.xml", "b.xml", cwd=tmp_path)
        if result.returncode == 0:
            assert ET.fromstring(result.stdout)[0].tag == "note\U0001F600"
        else:
            _one_line_status_2(result, "a.xml")


class TestStreams:
    """Where the output cannot go, one line and status 2; never a traceback."""

    @pytest.fixture
    def files(self, tmp_path):
        put(tmp_path, base_json=JSON_BASE, ours_json=JSON_OURS, theirs_json=JSON_THEIRS)
        (tmp_path / "tree.json").write_text('{"kind": "a"}')
        return tmp_path

    @pytest.mark.parametrize("stdout", ["full", "closed", "broken pipe"])
    def test_output_that_cannot_be_written(self, files, stdout):
        calls = [("merge", "--tree-json", "tree.json", "tree.json", "tree.json"),
                 ("merge", "base.json", "ours.json", "theirs.json"), ("diff", "base.json", "ours.json")]
        for args in calls:
            if stdout == "full":
                with open("/dev/full", "wb") as full:
                    result = subprocess.run([VEXT, *args], stdout=full, stderr=subprocess.PIPE, cwd=files)
            elif stdout == "closed":
                result = subprocess.run(["sh", "-c", '"$0" "$@" >&-', VEXT, *args], stderr=subprocess.PIPE,
                                        cwd=files)
            else:
                read_end, write_end = os.pipe()
                os.close(read_end)
                result = subprocess.run([VEXT, *args], stdout=write_end, stderr=subprocess.PIPE, cwd=files)
                os.close(write_end)
            assert result.returncode == 2
            assert re.fullmatch(rb"vext: cannot write to standard output: [^\n]+\n", result.stderr), result.stderr

    def test_failed_write_leaves_the_target_untouched(self, files):
        ours = (files / "ours.json").read_bytes()
        limit = 10

        def small_files():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        args = ["merge", "base.json", "ours.json", "theirs.json", "-o", "ours.json"]
        result = subprocess.run([VEXT, *args], capture_output=True, cwd=files, preexec_fn=small_files)
        assert result.returncode == 2 and result.stderr.startswith(b"vext: ours.json: cannot write: File too large")
        assert (files / "ours.json").read_bytes() == ours
        assert sorted(p.name for p in files.iterdir()) == ["base.json", "ours.json", "theirs.json", "tree.json"]

        readonly = files / "ro"
        readonly.mkdir()
        shutil.copy(files / "tree.json", readonly / "out.json")
        readonly.chmod(0o555)
        # root writes anywhere; in a user namespace of its own it is bound by the mode bits.
        as_user = (lambda: os.unshare(os.CLONE_NEWUSER)) if os.geteuid() == 0 else None
        try:
            result = subprocess.run([VEXT, "merge", "--tree-json", "tree.json", "tree.json", "tree.json", "-o",
                                     "ro/out.json"], capture_output=True, cwd=files, preexec_fn=as_user)
        finally:
            readonly.chmod(0o755)
        assert result.stderr == b"vext: ro/out.json: cannot write: Permission denied\n"
        assert (readonly / "out.json").read_bytes() == (files / "tree.json").read_bytes()
        assert os.listdir(readonly) == ["out.json"]


    def test_only_a_regular_file_is_replaced(self, files):
        # A FIFO is written to where it is; a socket cannot be, and stays.
        fifo = files / "out.fifo"
        os.mkfifo(fifo)
        received = []
        reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
        reader.start()
        result = vext_run("merge", "base.json", "ours.json", "theirs.json", "-o", "out.fifo", cwd=files)
        reader.join(timeout=60)
        assert result.returncode == 0, result.stderr
        assert received == [JSON_MERGED.encode()]
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
        with socket.socket(socket.AF_UNIX) as server:
            server.bind(str(files / "out.sock"))
            result = vext_run("merge", "base.json", "ours.json", "theirs.json", "-o", "out.sock", cwd=files)
            assert result.returncode == 2
            assert result.stderr == b"vext: out.sock: cannot write: No such device or address\n"
            assert stat.S_ISSOCK(os.lstat(files / "out.sock").st_mode)
        assert sorted(p.name for p in files.iterdir()) == [
            "base.json", "ours.json", "out.fifo", "out.sock", "theirs.json", "tree.json"]


class TestAsDriver:
    """--name and --line-fallback, as a git merge driver passes them."""

    def test_messages_and_conflicts_name_the_file(self, tmp_path):
        put(tmp_path, base_tmp=BASE, ours_tmp=OURS, theirs_tmp=THEIRS.replace('"10"', '"11"'), bad_tmp="<a>")
        result = vext_run("merge", "--name", "shop/catalog.xml", "base.tmp", "ours.tmp", "theirs.tmp", cwd=tmp_path)
        assert result.returncode == 1
        assert result.stderr.decode() == ('vext: conflict: shop/catalog.xml: /catalog/product[@id="p1"]/@price '
                                          'attribute: base "10", ours "12", theirs "11"\n')
        result = vext_run("diff", "--name", "shop/catalog.xml", "base.tmp", "bad.tmp", cwd=tmp_path)
        assert result.returncode == 2
        assert result.stderr.startswith(b"vext: shop/catalog.xml (new): invalid XML: ")

    @pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")
    @pytest.mark.parametrize(("theirs", "status", "merged"), [
        # Theirs is malformed: its line still lands beside ours' change.
        ("<r>\n  <a>1</a>\n  <b>2</b>\n  <c>3\n</r>\n", 0, "<r>\n  <a>9</a>\n  <b>2</b>\n  <c>3\n</r>\n"),
        ("<r>\n  <a>7</a>\n  <b>2</b>\n</r\n", 1,
         "<r>\n<<<<<<< ours\n  <a>9</a>\n||||||| base\n  <a>1</a>\n=======\n  <a>7</a>\n>>>>>>> theirs\n"
         "  <b>2</b>\n</r\n"),
    ])
    def test_a_refused_file_is_merged_by_lines(self, tmp_path, theirs, status, merged):
        put(tmp_path, base_tmp="<r>\n  <a>1</a>\n  <b>2</b>\n</r>\n", ours_tmp="<r>\n  <a>9</a>\n  <b>2</b>\n</r>\n",
            theirs_tmp=theirs)
        result = vext_run("merge", "--name", "r.xml", "--line-fallback", "base.tmp", "ours.tmp", "theirs.tmp",
                          "-o", "ours.tmp", cwd=tmp_path)
        assert result.returncode == status
        assert re.fullmatch(rb"vext: r\.xml \(theirs\): invalid XML: [^\n]+; merged line by line instead\n",
                            result.stderr), result.stderr
        assert (tmp_path / "ours.tmp").read_text() == merged


def _cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@pytest.fixture(scope="module")
def big_files(tmp_path_factory):
    """Three catalogues in which every 7th product's name conflicts."""
    directory = tmp_path_factory.mktemp("big")
    for side in ("base", "ours", "theirs"):
        rows = (f'<product id="p{i}" price="{i % 97}"><name>{side if i % 7 == 0 else "base"} {i}</name></product>\n'
                for i in range(BIG_COUNT))
        (directory / f"{side}.xml").write_text("<catalog>\n" + "".join(rows) + "</catalog>\n")
    return directory


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "redirected"])
def test_ctrl_c_stops_a_long_merge(big_files, terminal):
    """A long run shows its progress on a terminal only, and Ctrl-C ends it
    with status 130: no traceback, no output file."""
    tmp_path = big_files
    leader, follower = pty.openpty() if terminal else os.pipe()
    process = subprocess.Popen([VEXT, "merge", "base.xml", "ours.xml", "theirs.xml", "-o", "out.xml"],
                               stdout=subprocess.DEVNULL, stderr=follower, cwd=tmp_path)
    os.close(follower)
    shown = b""
    while _cpu_seconds(process.pid) < 1.2 or (terminal and b"vext: merging... " not in shown):
        assert process.poll() is None, "the merge ended before it could be interrupted"
        if select.select([leader], [], [], 0.05)[0]:
            shown += os.read(leader, 4096)
    process.send_signal(signal.SIGINT)
    try:
        assert process.wait(timeout=30) == 130
    finally:
        process.kill()
    with contextlib.suppress(OSError):
        while select.select([leader], [], [], 0.2)[0] and (chunk := os.read(leader, 4096)):
            shown += chunk
    os.close(leader)
    if terminal:
        assert re.fullmatch(rb"(\rvext: merging\.\.\. \d+\.\d s)+\r +\r", shown), shown
    else:
        assert shown == b""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["base.xml", "ours.xml", "theirs.xml"]


README_RECIPE = re.search(r"```sh\n(git config merge\.vext\..*?)```", (ROOT / "README.md").read_text(), re.S)
README_DIFF = re.search(r"```sh\n(git config diff\.vext\..*?)```", (ROOT / "README.md").read_text(), re.S)


@pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")
def test_git_merge_driver_from_the_readme(tmp_path):
    env = dict(os.environ, PATH=f"{SCRIPTS}{os.pathsep}{os.environ['PATH']}", HOME=str(tmp_path),
               GIT_CONFIG_NOSYSTEM="1", GIT_CONFIG_GLOBAL=os.devnull, GIT_AUTHOR_NAME="a", GIT_AUTHOR_EMAIL="a@b",
               GIT_COMMITTER_NAME="a", GIT_COMMITTER_EMAIL="a@b")

    def sh(command, check=True):
        return subprocess.run(command, shell=True, cwd=tmp_path, env=env, check=check, capture_output=True)

    def commit(xml, settings, branch=None):
        if branch:
            sh(f"git checkout -q {branch}")
        put(tmp_path, catalog_xml=xml, settings_json=settings)
        sh("git add -A && git commit -q -m edit")

    sh("git init -q -b main")
    for line in README_RECIPE.group(1).splitlines():
        sh(line)
    commit(BASE, JSON_BASE)
    sh("git branch theirs && git branch other")
    commit(OURS, JSON_OURS)
    commit(THEIRS, JSON_THEIRS, "theirs")
    sh("git checkout -q main")
    assert sh("git merge -q --no-edit theirs", check=False).returncode == 0
    assert ((tmp_path / "catalog.xml").read_text(), (tmp_path / "settings.json").read_text()) == (MERGED, JSON_MERGED)

    commit(BASE.replace('"p1" price="10"', '"p1" price="15"'), JSON_BASE, "other")
    sh("git checkout -q main")
    assert sh("git merge -q --no-edit other", check=False).returncode != 0
    assert "<<<<<<< ours\n" in (tmp_path / "catalog.xml").read_text()
    assert sh("git diff --name-only --diff-filter=U").stdout == b"catalog.xml\n"

    # A file the driver refuses is merged by lines: theirs' edit is kept.
    sh("git merge --abort && git checkout -q -b broken other~1")
    commit(BASE, JSON_BASE.replace("{\n", "{,\n", 1))
    sh("git checkout -q main")
    result = sh("git merge --no-edit broken", check=False)
    assert result.returncode == 0, result.stderr
    assert b"vext: settings.json (theirs): invalid JSON: " in result.stderr
    assert (tmp_path / "settings.json").read_text() == JSON_MERGED.replace("{\n", "{,\n", 1)

    # As git's external diff, from the README's lines.
    for line in README_DIFF.group(1).splitlines():
        sh(line)
    shown = sh("git diff other~1 theirs -- settings.json").stdout.decode()
    assert shown == 'diff a/settings.json b/settings.json\ninsert /tags/2 node: "\\"c\\""\n'


class TestTreeJson:
    def test_diff_and_merge_of_tree_files(self, tmp_path):
        result = vext_run("diff", "--tree-json", "config-base.json", "config-theirs.json", cwd=EXAMPLES)
        assert result.returncode == 1
        assert result.stdout.decode().splitlines()[1:] == [
            'update /server[@id="api"]/@host attribute: "0.0.0.0" -> "127.0.0.1"',
            'update /feature[@id="search"]/@enabled attribute: "false" -> "true"',
        ]
        out = tmp_path / "merged.json"
        result = vext_run("merge", "--tree-json", "config-base.json", "config-ours.json", "config-theirs.json",
                          "-o", out, cwd=EXAMPLES)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
        trees = [json.loads((EXAMPLES / f"config-{side}.json").read_text()) for side in ("base", "ours", "theirs")]
        assert json.loads(out.read_text()) == vext.merge(*trees).tree

    @pytest.mark.parametrize(("content", "message"), [
        ('{"childs": []}', 'not a tree: the top-level value has the unknown key "childs"'),
        ('{"children": [{}, {"identity": 5}]}', "not a tree: children[1].identity is a number, expected a string"),
        ('{"text": "\\ud800"}', "not a tree: text holds an unpaired surrogate"),
        ('{"kind": "a", "kind": "b"}', 'invalid JSON: the member name "kind" occurs twice'),
        ('{"text": ' + "1" * 5000 + "}", "not a tree: text is a number"),
        (b'{"text": "\xff"}', "invalid JSON: not UTF-8 text"),
    ])
    def test_bad_tree_files(self, tmp_path, content, message):
        put(tmp_path, t_json=content, good_json="{}")
        _one_line_status_2(vext_run("diff", "--tree-json", "good.json", "t.json", cwd=tmp_path), f"t.json: {message}")

    def test_deep_trees_read_and_write(self):
        # Far past Python's recursion limit and the json module's nesting limit.
        text = _treejson.render_json(chain(20_000, "leaf"))
        assert chain_depth(_treejson.read_tree(text.encode())) == 20_000
        assert _treejson.MAX_DEPTH == _core.MAX_DEPTH == 200_000
        assert _treejson.check_tree(chain(_treejson.MAX_DEPTH)) is None
        assert _treejson.check_tree(chain(_treejson.MAX_DEPTH + 1)) == "nested deeper than 200,000 levels"

    def test_rendering_is_json_dumps_up_to_32_indents(self):
        for depth in (1, 2, 16, 17, 40):
            tree = {"kind": "ключ", "text": "naïve", "attributes": {"ä": "ö"}, "ünknown": "kept", "children": []}
            for _ in range(depth - 1):
                tree = {"kind": "n", "children": [tree]}
            text = _treejson.render_json(tree)
            assert json.loads(text) == tree
            if depth <= 16:  # each level of the tree indents twice: once for the node, once for its children
                assert text == json.dumps(tree, indent=2, ensure_ascii=False) + "\n"
            else:
                assert max(len(line) - len(line.lstrip(" ")) for line in text.splitlines()) == 2 * 32

    @given(st.recursive(st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
                        lambda inner: st.lists(inner) | st.dictionaries(st.text(), inner), max_leaves=20))
    def test_deep_json_reader_agrees_with_json(self, value):
        # The value the native reader's document gives, as json.loads reads it with floats for integers.
        for text in (json.dumps(value), json.dumps(value, indent=1)):
            doc = _core.read_file(text.encode(), format="json")
            assert _treejson._from_document(doc) == json.loads(text, parse_int=float)

    def test_deep_tree_files_in_utf16_and_with_repeated_names(self, tmp_path):
        text = _treejson.render_json(chain(5_000, "leaf"))
        assert chain_depth(_treejson.read_tree(text.encode("utf-16"))) == 5_000
        with pytest.raises(_treejson.TreeFileError, match='invalid JSON: duplicate member name "kind"'):
            _treejson.read_tree(text.replace('"leaf"', '"leaf", "kind": "x"').encode())
        with pytest.raises(_treejson.TreeFileError, match="invalid JSON: .*line 1, column"):
            _treejson.read_tree(b"[" * 5_000)


class TestInternalFailures:
    """A failure inside the command is one line and status 2, whatever raised it."""

    class Panic(BaseException):
        pass

    @pytest.mark.parametrize(("error", "line"), [
        (Panic("broken invariant"), "vext: internal error: Panic: broken invariant\n"),
        (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"),
         "vext: internal error: UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff in position 0: "
         "invalid start byte\n"),
        (ValueError("bad value"), "vext: internal error: ValueError: bad value\n"),
    ])
    def test_one_line_and_status_2(self, tmp_path, monkeypatch, capsys, error, line):
        put(tmp_path, a_json="{}", b_json="[]")
        monkeypatch.chdir(tmp_path)

        def fail(*args, **kwargs):
            raise error

        for name in ("diff_files", "merge_files"):
            monkeypatch.setattr(_core, name, fail)
        assert cli.run(["diff", "a.json", "b.json"]) == 2
        assert cli.run(["merge", "--id-attr", "k", "a.json", "a.json", "b.json"]) == 2
        captured = capsys.readouterr()
        assert (captured.out, captured.err) == ("", line * 2)


class TestUsage:
    @pytest.mark.parametrize("args", [(), ("frobnicate",), ("diff", "a"), ("merge", "--json", "a", "b", "c"),
                                      ("diff", "--id-attr", "@x", "a", "b"), ("diff", "--tree-json", "--id-attr",
                                                                                "k", "a", "b")])
    def test_bad_usage_is_status_2(self, args):
        result = vext_run(*args, cwd=EXAMPLES)
        assert result.returncode == 2 and result.stderr.startswith(b"usage: vext")

    def test_help_version_and_module(self):
        for args in (("--help",), ("diff", "--help"), ("merge", "--help")):
            result = vext_run(*args, cwd=EXAMPLES)
            assert result.returncode == 0 and result.stdout.startswith(b"usage: vext") and b"exit status" in result.stdout
        result = subprocess.run([sys.executable, "-m", "vext", "--version"], capture_output=True, text=True)
        assert result.stdout == f"vext {vext_py.__version__}\n"
