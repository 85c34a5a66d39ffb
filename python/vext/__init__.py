"""Located diff and lossless three-way merge of labelled trees.

Trees are the plain dicts that ``vext_py`` takes: the keys "kind", "identity",
"label", "text", "attributes" (str to str) and "children" (a list of trees).
Children are paired by kind and identity where they have one, and by aligning
the sibling sequences where they have none.

>>> import vext
>>> base = {"kind": "doc", "children": [{"kind": "p", "text": "one"}, {"kind": "p", "text": "two"}]}
>>> ours = {"kind": "doc", "children": [{"kind": "p", "text": "one!"}, {"kind": "p", "text": "two"}]}
>>> theirs = {"kind": "doc", "children": [{"kind": "p", "text": "one"}]}
>>> tree, conflicts = vext.merge(base, ours, theirs)
>>> [child["text"] for child in tree["children"]]
['one!']
>>> conflicts
()
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, TypeAlias, TypedDict

from vext import _core

if TYPE_CHECKING:
    from collections.abc import Iterable, Mapping

__all__ = [
    "Change",
    "Commit",
    "Conflict",
    "FieldName",
    "FileChange",
    "FileConflict",
    "FileMergeResult",
    "FormatError",
    "MergeResult",
    "Op",
    "Source",
    "Step",
    "Store",
    "StoreError",
    "StoreMergeResult",
    "StoreStats",
    "Tree",
    "TransferStats",
    "Value",
    "apply",
    "diff",
    "diff_files",
    "from_json",
    "merge",
    "merge_files",
    "read_file",
    "to_json",
]


class Tree(TypedDict, total=False):
    """A tree dict, as ``vext_py`` takes and returns it: the same type as
    ``vext_py.Tree`` for a type checker, so a tree goes from either module to
    the other unchanged. Functions here take any mapping of the same shape (a
    dict subclass is needed at run time, as in vext_py) and return plain dicts
    with the keys in this order."""

    kind: str | None
    identity: str | None
    label: str | None
    text: str | None
    attributes: dict[str, str] | None
    children: list[Tree] | None


Op: TypeAlias = Literal["insert", "remove", "update", "move"]
FieldName: TypeAlias = Literal[
    "kind", "identity", "label", "text", "attribute", "attributes", "node", "position", "order"
]
Value: TypeAlias = str | int | Tree | tuple[str, ...] | None
"""A field's value: a string (None when absent), an attribute dict for
"attributes", a whole tree for "node", an index for "position", the children's
steps for "order"."""


class Step(NamedTuple):
    """One step down a location: the child of this kind and identity that
    comes `position`-th (from 0) among the siblings sharing both."""

    kind: str
    identity: str | None = None
    position: int = 0

    def __str__(self) -> str:
        if self.identity is None:
            return f"{self.kind}[{self.position + 1}]"
        text = f"{self.kind}[@id={json.dumps(self.identity, ensure_ascii=False)}]"
        return text + (f"[{self.position + 1}]" if self.position else "")


def _where(location: tuple[Step, ...]) -> str:
    return "".join(f"/{step}" for step in location) or "/"


def _show(value: Value) -> str:
    if value is None:
        return "(none)"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, tuple):
        return "[" + ", ".join(value) + "]"
    if "kind" in value and isinstance(value.get("kind"), str):
        # A node: its kind and identity, then its text, so that a line about
        # an inserted or removed leaf shows its value too.
        identity = value.get("identity")
        named = f" id={json.dumps(identity, ensure_ascii=False)}" if isinstance(identity, str) else ""
        shown = f"<{value['kind']}{named}>"
        text = value.get("text")
        if isinstance(text, str) and text:
            shown += " " + json.dumps(text if len(text) <= _WIDTH else text[: _WIDTH - 1] + "\u2026", ensure_ascii=False)
        return shown
    return json.dumps(value, ensure_ascii=False)


# The longest text a node's line shows, in characters; an ellipsis marks the cut.
_WIDTH = 60


def _what(field: FieldName, name: str | None) -> str:
    return f"@{name}" if field == "attribute" and name is not None else field


@dataclass(frozen=True, slots=True)
class Change:
    """One edit of a diff. `location` names a node of the old tree (for an
    insertion: the new node, under an old parent, landing at `index` among the
    new children); `old` and `new` are the field's values before and after."""

    op: Op
    location: tuple[Step, ...]
    field: FieldName
    name: str | None = None
    old: Value = None
    new: Value = None
    index: int | None = None

    def __str__(self) -> str:
        where = _where(self.location)
        if self.op == "insert":
            return f"{where}: inserted {_show(self.new)} at {self.index}"
        if self.op == "remove":
            return f"{where}: removed {_show(self.old)}"
        if self.op == "move":
            return f"{where}: moved from {self.old} to {self.new}"
        return f"{where} {_what(self.field, self.name)}: {_show(self.old)} -> {_show(self.new)}"


@dataclass(frozen=True, slots=True)
class Conflict:
    """A place where ours and theirs disagree; the merged tree kept ours.
    `location` names the node in the base tree (for a node both sides added,
    in the sides); `field` says what conflicted: a field, an attribute
    (`name`), the node's presence ("node") or the order of its children."""

    location: tuple[Step, ...]
    field: FieldName
    name: str | None
    base: Value
    ours: Value
    theirs: Value

    def __str__(self) -> str:
        return (
            f"{_where(self.location)} {_what(self.field, self.name)}: base {_show(self.base)}, "
            f"ours {_show(self.ours)}, theirs {_show(self.theirs)}"
        )


class _Lazy:
    """A frozen dataclass field the engine fills with a link (a capsule)
    instead of its value: a change's location or a file change's path is a
    link to its parent's, shared with every change below that node, so that
    a result takes memory in proportion to its changes whatever the depth.
    Reading the field spells the value out with `spell`; a value given to the
    constructor is kept as it is."""

    __slots__ = ("_slot", "_spell")

    def __init__(self, slot: Any, spell: Any) -> None:
        self._slot, self._spell = slot, spell

    def __get__(self, obj: object, owner: type | None = None) -> Any:
        if obj is None:
            return self
        value = self._slot.__get__(obj, owner)
        return self._spell(value) if type(value) is _LINK else value

    def __set__(self, obj: object, value: object) -> None:
        self._slot.__set__(obj, value)

    def __delete__(self, obj: object) -> None:
        self._slot.__delete__(obj)

    @staticmethod
    def install(cls: type, name: str, spell: Any) -> None:
        setattr(cls, name, _Lazy(cls.__dict__[name], spell))

    @staticmethod
    def raw(item: object, name: str) -> Any:
        """The field as stored: the engine's link or the value given."""
        lazy: _Lazy = type(item).__dict__[name]
        return lazy._slot.__get__(item, type(item))


_LINK = _core.LocationLink


def _steps(link: object) -> tuple[Step, ...]:
    return tuple(map(Step._make, _core.location_steps(link)))


_Lazy.install(Change, "location", _steps)
_Lazy.install(Conflict, "location", _steps)


class MergeResult(NamedTuple):
    """The merged tree and the conflicts; unpacks as ``tree, conflicts``."""

    tree: Tree
    conflicts: tuple[Conflict, ...]


def diff(old: Mapping[str, Any], new: Mapping[str, Any]) -> list[Change]:
    """Returns the edits that turn `old` into `new`, parents before children in
    the old tree's order; ``apply(old, diff(old, new)) == new``."""
    return [
        Change(op, loc, field, name, before, after, index)  # type: ignore[arg-type]
        for op, loc, field, name, before, after, index in _core.diff(old, new)
    ]


def apply(tree: Mapping[str, Any], changes: Iterable[Change]) -> Tree:
    """Applies `changes` (from `diff`) to `tree` and returns the new tree.

    Raises ValueError, changing nothing, when the changes do not fit the tree:
    a location that names no node, an old value that differs, or two changes
    that claim the same node or place. Raises TypeError for an item that is not
    a `Change`."""
    raw = []
    for change in changes:
        if not isinstance(change, Change):
            raise TypeError(f"apply() expects Change items, not {type(change).__qualname__}")
        raw.append((change.op, _Lazy.raw(change, "location"), change.field, change.name, change.old, change.new, change.index))
    return _core.apply(tree, raw)


def merge(base: Mapping[str, Any], ours: Mapping[str, Any], theirs: Mapping[str, Any]) -> MergeResult:
    """Merges `ours` and `theirs`, both derived from `base`, losing no change:
    what one side left as in base takes the other side's value, and where both
    changed a field, a node or an order differently, the tree keeps ours and a
    `Conflict` names the place with all three values."""
    tree, raw = _core.merge(base, ours, theirs)
    conflicts = tuple(
        Conflict(loc, field, name, b, o, t)  # type: ignore[arg-type]
        for loc, field, name, b, o, t in raw
    )
    return MergeResult(tree, conflicts)


from vext._files import (  # noqa: E402 - the file API builds on the types above
    FileChange,
    FileConflict,
    FileMergeResult,
    FormatError,
    Source,
    diff_files,
    from_json,
    merge_files,
    read_file,
    to_json,
)
from vext._store import Commit, Store, StoreError, StoreMergeResult, StoreStats, TransferStats  # noqa: E402
