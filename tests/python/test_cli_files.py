"""The vext command on XML with entity declarations, files git adds or
deletes, conflicts in a legacy encoding, and JSON arrays with identity keys."""

import json
import shutil
import subprocess

import pytest
from test_cli import VEXT, put, vext_run

import vext
from vext import _core


def entity_document(title: str = "&product; Guide", extra: str = "") -> bytes:
    """A DocBook-style file whose DOCTYPE declares entities that its text and
    attribute values refer to (one entity refers to another)."""
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        '<!DOCTYPE book PUBLIC "-//OASIS//DTD DocBook XML V4.5//EN"\n'
        '  "http://www.oasis-open.org/docbook/xml/4.5/docbookx.dtd" [\n'
        '  <!ENTITY product "Vext">\n'
        '  <!ENTITY version "2.1">\n'
        '  <!ENTITY full "&product; &version;">\n'
        "]>\n"
        '<book lang="en" xreflabel="&product; manual">\n'
        f"  <title>{title}</title>\n"
        "  <para>&full; diffs &amp; merges trees.</para>\n"
        f"  <para>Second paragraph.{extra}</para>\n"
        "</book>\n"
    ).encode()


DBUS = b"""<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd" [
  <!ENTITY bus "org.example.Vext">
]>
<node name="/org/example/Vext">
  <interface name="&bus;.Files">
    <method name="Diff"><arg name="old" type="s" direction="in"/></method>
  </interface>
</node>
"""


class TestEntityFiles:
    @pytest.mark.parametrize("content", [entity_document(), DBUS])
    def test_read_and_written_back_byte_for_byte(self, content):
        assert _core.rewrite_file(content) == content

    def test_references_compare_as_written(self, tmp_path):
        put(tmp_path, a_xml=entity_document(), b_xml=entity_document(), c_xml=entity_document("Vext Guide"))
        assert vext_run("diff", "a.xml", "b.xml", cwd=tmp_path).stdout == b""
        result = vext_run("diff", "a.xml", "c.xml", cwd=tmp_path)
        assert (result.returncode, result.stdout.decode()) == (
            1, 'update /book/title text: "&product; Guide" -> "Vext Guide"\n')

    def test_edits_beside_references_merge(self, tmp_path):
        put(tmp_path, base_xml=entity_document(), ours_xml=entity_document("&product; User Guide"),
            theirs_xml=entity_document(extra=" See &product;."))
        result = vext_run("merge", "base.xml", "ours.xml", "theirs.xml", cwd=tmp_path)
        assert (result.returncode, result.stderr) == (0, b"")
        assert result.stdout == entity_document("&product; User Guide", " See &product;.")

    def test_dbus_interface_attribute_edit(self, tmp_path):
        theirs = DBUS.replace(b'"&bus;.Files"', b'"&bus;.Trees"')
        ours = DBUS.replace(b'type="s"', b'type="as"')
        put(tmp_path, base_xml=DBUS, ours_xml=ours, theirs_xml=theirs)
        result = vext_run("merge", "base.xml", "ours.xml", "theirs.xml", cwd=tmp_path)
        assert (result.returncode, result.stdout) == (0, ours.replace(b'"&bus;.Files"', b'"&bus;.Trees"'))

    @pytest.mark.parametrize(("doctype", "needle"), [
        ('<!DOCTYPE r [<!ENTITY x SYSTEM "file:///etc/hostname">]>', "entity &x; is external"),
        ('<!DOCTYPE r [<!ENTITY % x SYSTEM "file:///etc/hostname"> %x;]>', "parameter entity declarations"),
        ('<!DOCTYPE r SYSTEM "file:///etc/hostname">', "entity &x; is not defined"),
    ])
    def test_nothing_outside_the_file_is_read(self, tmp_path, doctype, needle):
        put(tmp_path, a_xml=f"{doctype}<r>&x;</r>", b_xml="<r/>")
        result = vext_run("diff", "a.xml", "b.xml", cwd=tmp_path)
        assert result.returncode == 2
        assert needle in result.stderr.decode()


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
class TestGitExternalDiff:
    def test_added_and_deleted_files_are_one_change_of_the_root(self, tmp_path):
        def git(*args):
            return subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t.invalid", *args], cwd=tmp_path,
                                  capture_output=True, check=True, timeout=60)

        git("init", "-q")
        put(tmp_path, gone_json='{"a": 1}\n', kept_xml="<r/>\n", _gitattributes="*.xml diff=vext\n*.json diff=vext\n")
        git("add", ".")
        git("commit", "-qm", "one")
        (tmp_path / "gone.json").unlink()
        put(tmp_path, new_xml='<?xml version="1.0" encoding="ISO-8859-1"?>\n<r>caf\xe9</r>\n'.encode("latin-1"))
        git("add", "-A")
        shown = git("-c", f"diff.vext.command={VEXT} diff", "diff", "--cached").stdout.decode()
        assert shown == (
            'diff a/gone.json b/gone.json\nremove (root) node: "{\\"a\\": 1}\\n"\n'
            'diff a/new.xml b/new.xml\n'
            'insert / node: "<?xml version=\\"1.0\\" encoding=\\"ISO-8859-1\\"?>\\n<r>café</r>\\n"\n'
        )
        # A malformed added file is refused like any other, in one line.
        put(tmp_path, bad_xml="<r>")
        git("add", "bad.xml")
        result = subprocess.run(["git", "-c", f"diff.vext.command={VEXT} diff", "diff", "--cached", "--", "bad.xml"],
                                cwd=tmp_path, capture_output=True, timeout=60)
        assert result.returncode != 0
        assert result.stderr.decode().startswith("vext: bad.xml (new): invalid XML: ")
        assert "Traceback" not in result.stderr.decode()


@pytest.mark.parametrize(("content", "line"), [
    ("\ufeff<r>\u20ac</r>".encode("utf-16-le"), 'insert / node: "<r>\u20ac</r>"'),
    ('"just a string"'.encode("utf-32-be"), 'insert (root) node: "\\"just a string\\""'),
])
def test_one_sided_external_diff_in_wide_encodings(tmp_path, content, line):
    put(tmp_path, new_xml=content)
    result = vext_run("diff", "new.xml", "/dev/null", ".", ".", "new.xml", "0" * 40, "100644", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == f"diff a/new.xml b/new.xml\n{line}\n"


def test_conflict_markers_in_latin1_keep_theirs_euro_as_a_reference(tmp_path):
    declaration = '<?xml version="1.0" encoding="ISO-8859-1"?>\n'
    base = declaration + "<r>\n  <a>caf\xe9</a>\n</r>\n"
    ours = declaration + "<r>\n  <a>th\xe9</a>\n</r>\n"
    put(tmp_path, base_xml=base.encode("latin-1"), ours_xml=ours.encode("latin-1"),
        theirs_xml="<r>\n  <a>\u20ac</a>\n</r>\n")
    result = vext_run("merge", "base.xml", "ours.xml", "theirs.xml", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stdout.decode("latin-1") == (
        declaration + "<r>\n<<<<<<< ours\n  <a>th\xe9</a>\n||||||| base\n  <a>caf\xe9</a>\n=======\n"
        "  <a>&#x20AC;</a>\n>>>>>>> theirs\n</r>\n")
    result = vext_run("merge", "--json", "-o", "out.xml", "base.xml", "ours.xml", "theirs.xml", cwd=tmp_path)
    assert json.loads(result.stdout)[0]["theirs"] == "\u20ac"


def countries(codes, renamed=()):
    rows = ",\n".join(f'    {{"alpha2": "{c}", "name": "{"New " if c in renamed else ""}Land {c}"}}' for c in codes)
    return f'{{\n  "countries": [\n{rows}\n  ]\n}}\n'


class TestIdKeys:
    BEFORE = countries(["AD", "AE", "AF", "AG", "AI", "AL", "AM", "AO"])

    @pytest.mark.parametrize("key", ["alpha2", "/countries@alpha2", "/*@alpha2"])
    def test_an_inserted_element_is_one_insert(self, tmp_path, key):
        after = countries(["AD", "AE", "AF", "AFX", "AG", "AI", "AL", "AM", "AO"], renamed=["AG"])
        put(tmp_path, a_json=self.BEFORE, b_json=after)
        result = vext_run("diff", "--id-key", key, "a.json", "b.json", cwd=tmp_path)
        assert (result.returncode, result.stderr) == (1, b"")
        assert result.stdout.decode().splitlines() == [
            'insert /countries/3 node: "{\\"alpha2\\": \\"AFX\\", \\"name\\": \\"Land AFX\\"}"',
            'update /countries/3/name text: "Land AG" -> "New Land AG"',
        ]
        assert vext.diff_files(self.BEFORE.encode(), after.encode(), id_keys=[key])[0].op == "insert"

    def test_edits_of_different_elements_merge_and_reorders_are_moves(self, tmp_path):
        ours = countries(["AD", "AE", "AF", "AG"], renamed=["AE"])
        theirs = countries(["AG", "AD", "AB", "AF", "AE"], renamed=["AF"])
        put(tmp_path, base_json=countries(["AD", "AE", "AF", "AG"]), ours_json=ours, theirs_json=theirs)
        result = vext_run("merge", "--id-key", "/countries@alpha2", "base.json", "ours.json", "theirs.json",
                          cwd=tmp_path)
        assert (result.returncode, result.stderr) == (0, b"")
        assert result.stdout.decode() == countries(["AG", "AD", "AB", "AF", "AE"], renamed=["AE", "AF"])
        # As a git merge driver line, the key is taken too.
        result = vext_run("merge", "--id-key", "alpha2", "--name", "c.json", "--line-fallback", "base.json",
                          "ours.json", "theirs.json", "-o", "ours.json", cwd=tmp_path)
        assert (result.returncode, result.stderr) == (0, b"")
        assert (tmp_path / "ours.json").read_text() == countries(["AG", "AD", "AB", "AF", "AE"], renamed=["AE", "AF"])
        result = vext_run("diff", "--id-key", "alpha2", "base.json", "theirs.json", cwd=tmp_path)
        assert result.stdout.decode().splitlines() == [
            'insert /countries/2 node: "{\\"alpha2\\": \\"AB\\", \\"name\\": \\"Land AB\\"}"',
            'move /countries/1 position: "1" -> "4"',
            'update /countries/2/name text: "Land AF" -> "New Land AF"',
            'move /countries/3 position: "3" -> "0"',
        ]

    @pytest.mark.parametrize(("args", "files", "message"), [
        (["--id-key", "alpha2"], {"a_json": countries(["AD", "AD"])},
         'vext: a.json: the elements 0 and 1 of the array /countries have the same key "alpha2": "AD"\n'),
        (["--id-key", "id"], {"a_xml": "<a/>", "b_xml": "<a/>"},
         "vext: a.xml: identity keys are given, but the file is XML, whose elements take identity attributes\n"),
    ])
    def test_refused(self, tmp_path, args, files, message):
        put(tmp_path, b_json="[]", **files)
        name = next(iter(files)).replace("_", ".")
        result = vext_run("diff", *args, name, name.replace("a.", "b."), cwd=tmp_path)
        assert (result.returncode, result.stdout, result.stderr.decode()) == (2, b"", message)

    @pytest.mark.parametrize("key", ["/countries@", "/countries", ""])
    def test_bad_keys_are_usage_errors(self, tmp_path, key):
        result = vext_run("diff", "--id-key", key, "a.json", "b.json", cwd=tmp_path)
        assert result.returncode == 2
        assert b"is not NAME or POINTER@NAME" in result.stderr


def chain_xml(depth: int, text: str, attribute: str) -> bytes:
    """An XML chain `depth` elements deep in which every element has its
    own text and attribute value."""
    opening = "".join(f'<n a="{attribute}{i}">{text}{i}' for i in range(depth))
    return (opening + "</n>" * depth).encode()


def limited(mib: int):
    """Runs a child under an address-space limit of `mib` MiB."""
    import resource

    return lambda: resource.setrlimit(resource.RLIMIT_AS, (mib << 20, mib << 20))


class TestDeepDocuments:
    """Every element of a deep chain changed: paths share their prefixes and
    lines are written as they are made, so memory stays linear in the
    document even where the output is quadratic."""

    def test_diff_streams_output_many_times_its_memory_limit(self, tmp_path):
        depth = 16_000  # about 256 MB of output, under a 320 MiB limit
        put(tmp_path, old_xml=chain_xml(depth, "b", "a"), new_xml=chain_xml(depth, "o", "a"))
        size = lines = 0
        first = last = b""
        with subprocess.Popen([VEXT, "diff", "old.xml", "new.xml"], cwd=tmp_path, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, preexec_fn=limited(320)) as child:
            while chunk := child.stdout.read(1 << 20):
                first = first or chunk[:100]
                size, lines, last = size + len(chunk), lines + chunk.count(b"\n"), (last + chunk)[-100:]
            assert (child.wait(timeout=300), child.stderr.read()) == (1, b"")
        assert lines == depth and size > 250_000_000
        assert first.startswith(b'update /n/text()[1] text: "b0" -> "o0"\n')
        assert last.endswith(b'/n/n text: "b15999" -> "o15999"\n')

    def test_merge_of_every_element_100_000_deep(self, tmp_path):
        depth = 100_000
        put(tmp_path, base_xml=chain_xml(depth, "b", "b"), ours_xml=chain_xml(depth, "o", "b"),
            theirs_xml=chain_xml(depth, "b", "t"))
        result = vext_run("merge", "base.xml", "ours.xml", "theirs.xml", "-o", "out.xml", cwd=tmp_path,
                          preexec_fn=limited(1024))
        assert (result.returncode, result.stderr) == (0, b"")
        assert (tmp_path / "out.xml").read_bytes() == chain_xml(depth, "o", "t")
