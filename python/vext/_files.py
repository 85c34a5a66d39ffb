"""XML and JSON files, and JSON values, from Python: the same reading, diff
and merge as the `vext` command, with typed results.

A file is given as a path, its bytes, or a binary file object (read from
where it stands to its end). Files keep their bytes: a merged file differs
from ours only where something changed.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO, NamedTuple, TypeAlias

from vext import _Lazy, _core

if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

    from vext import Tree

Source: TypeAlias = "str | os.PathLike[str] | bytes | BinaryIO"
"""A file: its path, its bytes, or the file open for binary reading."""

FormatError = _core.FormatError


def _open(source: Source, opened: list[BinaryIO]) -> bytes | BinaryIO:
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    if isinstance(source, (str, os.PathLike)):
        f = open(source, "rb")  # noqa: SIM115 - closed by the caller
        opened.append(f)
        return f
    try:
        source.fileno()
    except (AttributeError, OSError):  # io.UnsupportedOperation is an OSError
        return source.read()  # an in-memory file
    return source


def _call[T](sources: Sequence[Source], call: Callable[..., T]) -> T:
    opened: list[BinaryIO] = []
    try:
        return call(*(_open(s, opened) for s in sources))
    finally:
        for f in opened:
            f.close()


def read_file(
    source: Source, *, format: str | None = None, id_attrs: Sequence[str] = (), id_keys: Sequence[str] = ()
) -> Tree:
    """Reads an XML or JSON file into the tree that `vext.diff` and
    `vext.merge` take. `format` is "xml" or "json", found from the content
    when None; `id_attrs` names the XML attributes that give an element its
    identity ("NAME" or "ELEMENT@NAME"; `id` and `xml:id` when empty);
    `id_keys` the members that give the objects of JSON arrays theirs (see
    diff_files). Raises FormatError (a ValueError) for a file that cannot be
    read."""
    return _call([source], lambda data: _core.read_file(data, format=format, id_attrs=id_attrs, id_keys=id_keys))


def from_json(value: Any) -> Tree:
    """The tree of a JSON value (what `json.load` gives): the tree that reading
    the same JSON as a file gives. Raises TypeError for a value JSON cannot
    hold, ValueError for a float that is not finite or a value nested deeper
    than vext allows (or holding itself)."""
    return _core.from_json(value)


def to_json(tree: Tree) -> Any:
    """The JSON value of a tree that `from_json` or `read_file` of a JSON file
    gives (or a diff or merge of such trees); ValueError names the first node,
    by its JSON Pointer, that no JSON value can hold."""
    return _core.to_json(tree)


@dataclass(frozen=True, slots=True)
class FileChange:
    """One change between two files, as the command prints it: `path` is a
    JSON Pointer or an XPath-like path (empty for the root), `what` says what
    changed, and `old` and `new` are the values as text (None where there is
    none: no old value for an insertion, no new one for a removal)."""

    op: str
    path: str
    what: str
    old: str | None
    new: str | None

    def __str__(self) -> str:
        from vext import cli

        return cli._change_line((self.op, self.path, self.what, self.old, self.new))


_Lazy.install(FileChange, "path", _core.path_text)


@dataclass(frozen=True, slots=True)
class FileConflict:
    """A place where ours and theirs disagree, with the three values as text."""

    path: str
    what: str
    base: str | None
    ours: str | None
    theirs: str | None

    def __str__(self) -> str:
        from vext import cli

        return cli._conflict_line((self.path, self.what, self.base, self.ours, self.theirs)).removeprefix("vext: ")


class FileMergeResult(NamedTuple):
    """The merged file's bytes and the conflicts; unpacks as ``data, conflicts``."""

    data: bytes
    conflicts: tuple[FileConflict, ...]


def diff_files(
    old: Source,
    new: Source,
    *,
    format: str | None = None,
    id_attrs: Sequence[str] = (),
    id_keys: Sequence[str] = (),
) -> list[FileChange]:
    """The changes from file `old` to file `new`, in document order.
    `id_keys` ("NAME" or "POINTER@NAME") pairs the object elements of JSON
    arrays by the value of their member NAME, in every array or in those the
    JSON Pointer pattern POINTER names ("*" for any one member or index)."""
    rows = _call([old, new], lambda a, b: _core.diff_files(a, b, format=format, id_attrs=id_attrs, id_keys=id_keys))
    return [FileChange(*row) for row in rows]


def merge_files(
    base: Source,
    ours: Source,
    theirs: Source,
    *,
    format: str | None = None,
    id_attrs: Sequence[str] = (),
    id_keys: Sequence[str] = (),
    markers: bool = True,
) -> FileMergeResult:
    """Merges into `ours` the changes `theirs` made to `base`. Where both sides
    changed something differently, the smallest element or member holding it
    is written with conflict markers (with ``markers=False``: as ours'
    version, so the file stays well-formed) and a FileConflict says where.
    `id_keys` pairs JSON array elements as diff_files does."""
    data, rows = _call(
        [base, ours, theirs],
        lambda b, o, t: _core.merge_files(b, o, t, format=format, id_attrs=id_attrs, id_keys=id_keys,
                                          markers=markers),
    )
    return FileMergeResult(data, tuple(FileConflict(*row) for row in rows))
