# The native half of vext: plain tuples in and out (locations and paths as links,
# spelled out on demand; the store log as the Commit class it is given); vext
# wraps them in types.
from collections.abc import Mapping, Sequence
from typing import Any, BinaryIO, TypeVar

from vext import Tree

MAX_DEPTH: int

_T = TypeVar("_T")
_Step = tuple[str, str | None, int]
# A location: the steps, or (from the engine) a link that location_steps reads.
_Location = tuple[_Step, ...] | Any
_Change = tuple[str, _Location, str, str | None, Any, Any, int | None]
_Conflict = tuple[_Location, str, str | None, Any, Any, Any]

LocationLink: type
def location_steps(location: Any) -> tuple[_Step, ...]: ...

def diff(old: Mapping[str, Any], new: Mapping[str, Any]) -> list[_Change]: ...
def apply(tree: Mapping[str, Any], changes: Sequence[_Change]) -> Tree: ...
def merge(base: Mapping[str, Any], ours: Mapping[str, Any], theirs: Mapping[str, Any]) -> tuple[Tree, list[_Conflict]]: ...

class FormatError(ValueError):
    """A file could not be read, or a result could not be written in its format."""

    which: int
    line: int | None
    column: int | None

# The path is a link that path_text spells out.
_FileChange = tuple[str, Any, str, str | None, str | None]
_FileConflict = tuple[str, str, str | None, str | None, str | None]

# A file's bytes, or the file open for binary reading, read from where it stands to its end.
_Data = bytes | BinaryIO

def read_file(
    data: _Data, *, format: str | None = None, id_attrs: Sequence[str] = (), id_keys: Sequence[str] = ()
) -> Tree: ...
def rewrite_file(
    data: _Data, *, format: str | None = None, id_attrs: Sequence[str] = (), id_keys: Sequence[str] = ()
) -> bytes: ...
def path_text(path: Any) -> str: ...
def diff_files(
    old: _Data,
    new: _Data,
    *,
    format: str | None = None,
    id_attrs: Sequence[str] = (),
    id_keys: Sequence[str] = (),
) -> list[_FileChange]: ...
def merge_files(
    base: _Data,
    ours: _Data,
    theirs: _Data,
    *,
    format: str | None = None,
    id_attrs: Sequence[str] = (),
    id_keys: Sequence[str] = (),
    markers: bool = True,
) -> tuple[bytes, list[_FileConflict]]: ...
def from_json(value: Any) -> Tree: ...
def to_json(tree: Mapping[str, Any]) -> Any: ...

class StoreError(Exception):
    """A store could not be opened, read or written: the message names the file and the problem."""

    reason: str

_Commit = tuple[str, str, tuple[str, ...], str, float]

def store_open(path: str | bytes) -> object: ...
def store_close(handle: object) -> None: ...
def store_commit(
    handle: object, tree: Mapping[str, Any], message: str, parents: Sequence[str] | None, branch: str, time: float
) -> str: ...
def store_resolve(handle: object, name: str) -> str: ...
def store_tree(handle: object, name: str) -> Tree: ...
def store_info(handle: object, name: str) -> _Commit: ...
def store_log(handle: object, name: str, commit_type: type[_T]) -> list[_T]: ...
def store_diff(handle: object, old: str, new: str) -> list[_Change]: ...
def store_merge(
    handle: object, branch: str, into: str, message: str, time: float
) -> tuple[Tree, list[_Conflict], str | None, str]: ...
def store_branches(handle: object) -> list[tuple[str, str]]: ...
def store_set_branch(handle: object, name: str, target: str, create: bool) -> str: ...
def store_delete_branch(handle: object, name: str) -> None: ...
def store_verify(handle: object) -> tuple[int, int, int]: ...
def store_name(handle: object) -> str: ...
def store_transfer(source: object, target: object, branch: str, to_branch: str) -> tuple[int, int, str]: ...
