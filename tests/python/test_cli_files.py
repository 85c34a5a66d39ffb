"""The vext command on files it once refused or mishandled: XML with entity
declarations, files git adds or deletes, and conflicts in a legacy encoding."""

import json
import shutil
import subprocess

import pytest

from vext import _core
from test_cli import VEXT, put, vext_run


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
