# The native half of vext: plain tuples in and out; vext wraps them in types.
from collections.abc import Mapping, Sequence
from typing import Any, BinaryIO

MAX_DEPTH: int

_Step = tuple[str, str | None, int]
_Change = tuple[str, tuple[_Step, ...], str, str | None, Any, Any, int | None]
_Conflict = tuple[tuple[_Step, ...], str, str | None, Any, Any, Any]

def diff(old: Mapping[str, Any], new: Mapping[str, Any]) -> list[_Change]: ...
def apply(tree: Mapping[str, Any], changes: Sequence[_Change]) -> dict[str, Any]: ...
def merge(base: Mapping[str, Any], ours: Mapping[str, Any], theirs: Mapping[str, Any]) -> tuple[dict[str, Any], list[_Conflict]]: ...

class FormatError(ValueError):
    """A file could not be read, or a result could not be written in its format."""

    which: int
    line: int | None
    column: int | None

_FileChange = tuple[str, str, str, str | None, str | None]
_FileConflict = tuple[str, str, str | None, str | None, str | None]

# A file's bytes, or the file open for binary reading, read from where it stands to its end.
_Data = bytes | BinaryIO

def read_file(data: _Data, *, format: str | None = None, id_attrs: Sequence[str] = ()) -> dict[str, Any]: ...
def rewrite_file(data: _Data, *, format: str | None = None, id_attrs: Sequence[str] = ()) -> bytes: ...
def diff_files(
    old: _Data, new: _Data, *, format: str | None = None, id_attrs: Sequence[str] = ()
) -> list[_FileChange]: ...
def merge_files(
    base: _Data,
    ours: _Data,
    theirs: _Data,
    *,
    format: str | None = None,
    id_attrs: Sequence[str] = (),
    markers: bool = True,
) -> tuple[bytes, list[_FileConflict]]: ...
