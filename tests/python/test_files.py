"""The file layer of vext._core: XML and JSON files as bytes (or open files) in and out."""

import json
import os
import random
import xml.dom.minidom

import pytest

from conftest import interrupted_call
from vext import _core


def diff_rows(*args, **options):
    """diff_files' rows with their paths spelled out."""
    return [(op, _core.path_text(path), *rest) for op, path, *rest in _core.diff_files(*args, **options)]


ROUND_TRIPS = [
    b'\xef\xbb\xbf<?xml version="1.0" encoding="utf-8"?>\r\n<!DOCTYPE r [<!ELEMENT r ANY>]>\r\n<r/>\r\n',
    b"<!-- top --><?pi data?><r xmlns:x='urn:x'>\n\t<x:a  x:b = 'v' >one &amp; <![CDATA[<two>]]> <b>three</b>&#65;</x:a>\n</r>",
    b'{"n": [0, -0, 1.50, 1E400, 123456789012345678901234567890], "s": "\\u00e9\\/", "e": {}}',
    b"[\n    1,\n    [ ],\n    {\"a\" : null , \"b\":true}\n]\n",
]


@pytest.mark.parametrize("data", ROUND_TRIPS)
def test_rewriting_an_unchanged_file_gives_its_bytes(data):
    assert _core.rewrite_file(data) == data
    assert _core.merge_files(data, data, data) == (data, [])


class TestDiff:
    def test_xml_paths_name_the_identity_attribute_and_positions(self):
        old = b'<catalog><product sku="p7" price="2"><name>Old</name></product><item/><item>x</item></catalog>'
        new = b'<catalog><product sku="p7"><name>New</name></product><item/><item>y</item><p>a<b/>b</p></catalog>'
        assert diff_rows(old, new, id_attrs=["product@sku"]) == [
            ("remove", '/catalog/product[@sku="p7"]/@price', "attribute", "2", None),
            ("update", '/catalog/product[@sku="p7"]/name', "text", "Old", "New"),
            ("update", "/catalog/item[2]", "text", "x", "y"),
            ("insert", "/catalog/p", "node", None, "<p>a<b/>b</p>"),
        ]

    def test_json_paths_are_pointers_and_nodes_keep_their_bytes(self):
        old = b'{"a/b": [1, {"~": true}], "gone": {"x" :  [1,2]}}'
        new = b'{"a/b": [1, {"~": false}]}'
        assert diff_rows(old, new) == [
            ("update", "/a~1b/1/~0", "text", "true", "false"),
            ("remove", "/gone", "node", '{"x" :  [1,2]}', None),
        ]
        assert diff_rows(b"1", b"2") == [("update", "", "text", "1", "2")]


BASE = b'<?xml version="1.0"?>\n<list>\n  <item id="a">1</item>\n  <item id="b">2</item>\n  <item id="c">3</item>\n</list>\n'


class TestMerge:
    def test_a_side_that_changed_nothing_gives_the_other_byte_for_byte(self):
        edited = BASE.replace(b"<item id=\"b\">2", b"<item   id='b' >20")
        assert _core.merge_files(BASE, edited, BASE) == (edited, [])
        assert _core.merge_files(BASE, BASE, edited) == (edited, [])

    def test_a_clean_merge_changes_only_what_it_changes(self):
        ours = BASE.replace(b"<list>", b"<list><!-- ours -->").replace(b'"a">1', b'"a">one')
        theirs = BASE.replace(b'  <item id="c">3</item>\n', b"").replace(b'id="b">2', b'id="b">two')
        merged, conflicts = _core.merge_files(BASE, ours, theirs)
        assert conflicts == []
        assert merged == ours.replace(b'  <item id="c">3</item>\n', b"").replace(b'id="b">2', b'id="b">two')

    def test_conflicts_are_marked_around_the_enclosing_element(self):
        ours = BASE.replace(b'"b">2', b'"b">ours')
        theirs = BASE.replace(b'"b">2', b'"b">theirs')
        merged, conflicts = _core.merge_files(BASE, ours, theirs)
        assert conflicts == [('/list/item[@id="b"]', "text", "2", "ours", "theirs")]
        assert merged == BASE.replace(
            b'  <item id="b">2</item>\n',
            b'<<<<<<< ours\n  <item id="b">ours</item>\n||||||| base\n  <item id="b">2</item>\n'
            b'=======\n  <item id="b">theirs</item>\n>>>>>>> theirs\n',
        )
        plain, _ = _core.merge_files(BASE, ours, theirs, markers=False)
        assert plain == ours
        xml.dom.minidom.parseString(plain)

    def test_a_deleted_member_that_the_other_side_changed_is_marked(self):
        base = b'{\n  "a": {"x": 1},\n  "b": 2\n}\n'
        ours = b'{\n  "b": 2\n}\n'
        theirs = b'{\n  "a": {"x": 9},\n  "b": 2\n}\n'
        merged, conflicts = _core.merge_files(base, ours, theirs)
        assert conflicts == [("/a", "node", '{"x": 1}', None, '{"x": 9}')]
        assert merged == (
            b'{\n<<<<<<< ours\n||||||| base\n  "a": {"x": 1},\n=======\n  "a": {"x": 9},\n>>>>>>> theirs\n  "b": 2\n}\n'
        )
        plain, _ = _core.merge_files(base, ours, theirs, markers=False)
        assert json.loads(plain) == {"a": {"x": 9}, "b": 2}


    def test_members_merge_by_name_whatever_their_type(self):
        # Against a member-by-member model: a side that kept base's value takes
        # the other's; two different values (a removal, a change of type) are
        # a conflict. A large member shared byte for byte by the three files
        # is passed over unread, which must not change the result.
        rng = random.Random(23)
        values = [1, 2, "1", "x", True, None, [1], [2, 3], {"a": 1}, {"b": [1]}, "<none>"]
        shared = {f"s{i}": {"deep": [i, {"x": "y" * 10}]} for i in range(30)}

        def edited(tree):
            out = {k: rng.choice(values) if rng.random() < 0.4 else v for k, v in tree.items()}
            return {k: v for k, v in out.items() if v != "<none>"}

        for _ in range(150):
            base = edited(dict.fromkeys("abcdefg", 1))
            sides = [base, edited(base), edited(base)]
            results = []
            for indent in ((1, 1, 1), (1, 2, 3)):  # shared bytes, then none
                files = [json.dumps(dict(t, shared=shared), indent=n).encode() for t, n in zip(sides, indent)]
                merged, conflicts = _core.merge_files(*files, markers=False)
                results.append((json.loads(merged), [c[:2] for c in conflicts]))
            assert results[0] == results[1]
            merged, conflicts = results[0]
            for key in "abcdefg":
                b, o, t = (json.dumps(side.get(key, "<none>")) for side in sides)  # True is not 1
                if len({v[0] for v in (b, o, t)}) == 1 and b[0] in "[{":
                    continue  # three lists or three objects merge inside
                conflicted = o != b and t != b and o != t
                assert ((f"/{key}", "node") in conflicts) == conflicted, (b, o, t)
                if not conflicts:
                    assert json.dumps(merged.get(key, "<none>")) == (t if o == b else o)


HOSTILE = [
    ("json", b'{"a": 1, "a": 2}', 'duplicate member name "a" (line 1, column 10)'),
    ("xml", b'<?xml version="1.0" encoding="latin-1"?><a/>', 'unsupported encoding "latin-1"'),
    ("xml", b'<?xml version="1.0" encoding="x-unknown"?><a/>', 'unsupported encoding "x-unknown"'),
    ("xml", b'<!DOCTYPE a SYSTEM "a.dtd"><a>&ext;</a>', "entity &ext; is not defined (external DTDs are not read)"),
    ("xml", b'<!DOCTYPE a SYSTEM "a.dtd"><a b="&ext;"/>', "entity &ext; is not defined (external DTDs are not read)"),
    ("xml", b'<!DOCTYPE a [<!ENTITY e SYSTEM "file:///etc/passwd">]><a>&e;</a>',
     "entity &e; is external (only entities declared inside the file are read)"),
    ("xml", b'<!DOCTYPE a [<!ENTITY % e SYSTEM "file:///etc/passwd"> %e;]><a/>',
     "parameter entity declarations are not allowed"),
    ("json", b"[" * 200_001, "nested deeper than 200,000 levels"),
    ("xml", b"<a>" * 200_001, "nested deeper than 200,000 levels"),
]


@pytest.mark.parametrize(("kind", "data", "message"), HOSTILE)
def test_hostile_input_is_refused_with_a_format_error(kind, data, message):
    for call in (
        lambda: _core.read_file(data),
        lambda: _core.diff_files(b"<a/>" if kind == "xml" else b"{}", data),
        lambda: _core.merge_files(data, data, data, format=kind),
    ):
        with pytest.raises(_core.FormatError) as info:
            call()
        assert str(info.value).startswith(message)
        assert isinstance(info.value, ValueError)
    assert info.value.which == 0
    assert info.value.line is not None


def test_files_that_keep_a_literal_or_a_name_round_trip():
    big = b'{"n": 1' + b"0" * 5000 + b"e-99999}"
    assert _core.read_file(big)["children"][0]["text"] == big[6:-1].decode()
    # "id" names the identity of <b> only; on <a> it is a plain attribute.
    base, theirs = b'<r><a id="1"/><b id="2"/></r>', b'<r><a id="9"/><b id="2"/></r>'
    assert _core.merge_files(base, base, theirs, id_attrs=["b@id"]) == (theirs, [])
    assert _core.merge_files(base, base.replace(b"<r>", b"<r> "), theirs, id_attrs=["b@id"]) == (
        theirs.replace(b"<r>", b"<r> "),
        [],
    )


def test_mixed_formats_and_unwritable_results_say_which_file():
    with pytest.raises(_core.FormatError) as info:
        _core.merge_files(b"{}", b"{}", b"<a/>")
    assert (str(info.value), info.value.which, info.value.line) == ("the file is XML but the first is JSON", 2, None)


def test_open_files_are_read_from_where_they_stand(tmp_path):
    old, new = b'<r><a id="1">x</a></r>', b'<r><a id="1">y</a></r>'
    (tmp_path / "old.xml").write_bytes(b"skipped" + old)
    (tmp_path / "new.xml").write_bytes(new)
    (tmp_path / "empty.xml").write_bytes(b"")
    with open(tmp_path / "old.xml", "rb") as f, open(tmp_path / "new.xml", "rb") as g:
        assert f.read(len(b"skipped")) == b"skipped"  # the buffer holds the rest already
        assert diff_rows(f, g) == diff_rows(old, new)
        # What the call read is behind both objects, buffered or not.
        assert (f.tell(), f.read(), g.tell(), g.read()) == (len(b"skipped" + old), b"", len(new), b"")
    # A pipe cannot tell where it stands: what its object read ahead is read too.
    r, w = os.pipe()
    os.write(w, b"  " + new)
    os.close(w)
    with os.fdopen(r, "rb") as pipe:
        assert pipe.read(1) == b" "
        assert _core.read_file(pipe) == _core.read_file(new)
        assert pipe.read() == b""
    with open(tmp_path / "new.xml", "rb") as f, open(tmp_path / "empty.xml", "rb") as g:
        with pytest.raises(_core.FormatError) as info:
            _core.merge_files(new, f, g)
        assert (str(info.value), info.value.which) == ("the file is empty", 2)
    with open(tmp_path / "out.xml", "wb") as f, pytest.raises(OSError) as failure:
        _core.read_file(f)
    assert failure.value.filename == str(tmp_path / "out.xml")


BAD_CALLS = [
    (lambda: _core.read_file("<a/>"), TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    (lambda: _core.read_file(b"<a/>", format="yaml"), ValueError, "format must be \"xml\", \"json\" or None, not 'yaml'"),
    (lambda: _core.read_file(b"<a/>", id_attrs="id"), TypeError,
     "argument 'id_attrs': 'str' object cannot be converted to 'Sequence'"),
    (lambda: _core.diff_files(b"<a/>", b"<a/>", id_attrs=["a@"]), ValueError,
     "malformed identity attribute 'a@': expected \"NAME\" or \"ELEMENT@NAME\""),
    (lambda: _core.merge_files(b"", b""), TypeError, "merge_files() missing 1 required positional argument: 'theirs'"),
    (lambda: _core.rewrite_file(b"", "xml"), TypeError, "rewrite_file() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize(("call", "error", "message"), BAD_CALLS)
def test_bad_arguments(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_ctrl_c_stops_a_long_call_inside_it(tmp_path):
    setup = """
from vext import _core
old = b"[" + b",".join(b'{"k": %d}' % (i % 7) for i in range(1_000_000)) + b"]"
new = old.replace(b'"k": 3', b'"k": 4')
"""
    # The interrupt surfaces from the native call itself, not after it.
    assert interrupted_call(setup, "_core.diff_files(old, new)", tmp_path) == "<module>: _core.diff_files(old, new)"


def test_ctrl_c_stops_a_read_from_a_pipe_that_never_ends(tmp_path):
    setup = """
import os
from vext import _core
r, w = os.pipe()
os.write(w, b"<a/>")
pipe = os.fdopen(r, "rb")
"""
    assert interrupted_call(setup, "_core.read_file(pipe)", tmp_path) == "<module>: _core.read_file(pipe)"
