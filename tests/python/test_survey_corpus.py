"""The kinds of files the command meets in the wild, generated here: XML in every encoding it reads,
JSON in UTF-8, UTF-16 and UTF-32, JSON with comments. Each file writes back as its own bytes, through
the package and through the command, and two small edits to it merge."""

import subprocess
import sysconfig
from dataclasses import dataclass
from pathlib import Path

import pytest

import vext

VEXT = Path(sysconfig.get_path("scripts")) / "vext"


@dataclass(frozen=True)
class Case:
    """A file (`base`), an edit of it on each side and their merge, all as bytes."""

    name: str
    base: bytes
    ours: bytes
    theirs: bytes
    merged: bytes


def boms(codec: str) -> bytes:
    return {"utf-8": b"\xef\xbb\xbf", "utf-16-le": b"\xff\xfe", "utf-16-be": b"\xfe\xff",
            "utf-32-le": b"\xff\xfe\x00\x00", "utf-32-be": b"\x00\x00\xfe\xff"}[codec]


def xml_case(label: str, codec: str, text: str, bom: bool = False) -> Case:
    """XML declaring `label`, encoded with the Python codec `codec`, holding `text` in a comment,
    an attribute and an element; ours edits one element's text, theirs another's."""

    def build(a: str, b: str) -> bytes:
        doc = (f'<?xml version="1.0" encoding="{label}"?>\n<!-- {text} -->\n<r>\n'
               f'  <item id="1" note="{text}">{a}</item>\n  <item id="2">{b}</item>\n</r>\n')
        return (boms(codec) if bom else b"") + doc.encode(codec)

    name = f"xml-{label}" + ("-bom" if bom else "")
    return Case(name, build("one", "two"), build(f"one {text}", "two"), build("one", "two!"),
                build(f"one {text}", "two!"))


def json_case(codec: str, bom: bool, text: str = "café 日本 😀") -> Case:
    def build(a: str, b: str) -> bytes:
        doc = f'{{\n  "name": "{text}",\n  "a": "{a}",\n  "b": [{b}]\n}}\n'
        return (boms(codec) if bom else b"") + doc.encode(codec)

    name = f"json-{codec}" + ("-bom" if bom else "")
    return Case(name, build("one", "1, 2"), build(f"one {text}", "1, 2"), build("one", "1, 2, 3"),
                build(f"one {text}", "1, 2, 3"))


def jsonc_case(codec: str = "utf-8", bom: bool = False) -> Case:
    """An editor's settings file: comments before, between and after members, trailing commas."""

    def build(target: str, lib: str, extra: str = "") -> bytes:
        doc = ("// Settings for the build, “quoted” 😀\n{\n  /* Language */\n"
               f'  "target": "{target}", // the output\n  "lib": [{lib}],\n'
               '  "paths": {"/*": ["src/*"],}, /* "quoted" */\n'
               f"{extra}  // the end\n}}\n")
        return (boms(codec) if bom else b"") + doc.encode(codec)

    new = '  // Checks\n  "strict": true,\n'
    return Case(f"jsonc-{codec}" + ("-bom" if bom else ""), build("es2019", '"es2019", "es2020",'),
                build("es2022", '"es2019", "es2020",'), build("es2019", '"es2019", "es2020", "dom",', new),
                build("es2022", '"es2019", "es2020", "dom",', new))


CASES = [
    xml_case("UTF-8", "utf-8", "café 日本 😀"),
    xml_case("UTF-8", "utf-8", "café 日本 😀", bom=True),
    xml_case("UTF-16", "utf-16-le", "café 日本 😀", bom=True),
    xml_case("UTF-16", "utf-16-be", "café 日本 😀", bom=True),
    xml_case("UTF-16LE", "utf-16-le", "café 日本 😀"),
    xml_case("UTF-16BE", "utf-16-be", "café 日本 😀"),
    xml_case("UTF-32", "utf-32-le", "café 日本 😀", bom=True),
    xml_case("UTF-32BE", "utf-32-be", "café 日本 😀"),
    xml_case("ISO-8859-1", "iso-8859-1", "café àéîõü"),
    xml_case("ISO-8859-15", "iso-8859-15", "€ œuvre café"),
    xml_case("windows-1252", "cp1252", "“café” – €"),
    xml_case("US-ASCII", "ascii", "plain text"),
    xml_case("Shift_JIS", "shift_jis", "日本語のテキスト"),
    xml_case("EUC-JP", "euc_jp", "日本語のテキスト"),
    xml_case("GB18030", "gb18030", "中文文本 😀"),
    *(json_case(codec, bom) for codec in ("utf-8", "utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be")
      for bom in (False, True)),
    jsonc_case(),
    jsonc_case("utf-8", bom=True),
    jsonc_case("utf-16-le", bom=True),
    jsonc_case("utf-16-be"),
]


@pytest.fixture(params=CASES, ids=lambda case: case.name)
def case(request):
    return request.param


def command_merge(tmp_path, base: bytes, ours: bytes, theirs: bytes) -> subprocess.CompletedProcess[bytes]:
    for name, data in (("base", base), ("ours", ours), ("theirs", theirs)):
        (tmp_path / name).write_bytes(data)
    return subprocess.run([VEXT, "merge", "-o", "out", "base", "ours", "theirs"], capture_output=True,
                          cwd=tmp_path, timeout=120)


class TestSurveyCorpus:
    def test_every_file_reads_and_writes_back_as_its_own_bytes(self, case):
        for data in (case.base, case.ours, case.theirs, case.merged):
            assert vext.read_file(data)
            merged, conflicts = vext.merge_files(data, data, data)
            assert (merged, conflicts) == (data, ())

    def test_the_command_merges_three_equal_files_into_the_same_bytes(self, case, tmp_path):
        done = command_merge(tmp_path, case.base, case.base, case.base)
        assert (done.returncode, done.stderr) == (0, b"")
        assert (tmp_path / "out").read_bytes() == case.base

    def test_small_edits_on_both_sides_merge(self, case):
        assert vext.merge_files(case.base, case.ours, case.theirs) == (case.merged, ())

    def test_the_command_merges_small_edits_on_both_sides(self, case, tmp_path):
        done = command_merge(tmp_path, case.base, case.ours, case.theirs)
        assert (done.returncode, done.stderr) == (0, b"")
        assert (tmp_path / "out").read_bytes() == case.merged
