# The native half of vext: plain tuples in and out; vext wraps them in types.
from collections.abc import Mapping, Sequence
from typing import Any

_Step = tuple[str, str | None, int]
_Change = tuple[str, tuple[_Step, ...], str, str | None, Any, Any, int | None]
_Conflict = tuple[tuple[_Step, ...], str, str | None, Any, Any, Any]

def diff(old: Mapping[str, Any], new: Mapping[str, Any]) -> list[_Change]: ...
def apply(tree: Mapping[str, Any], changes: Sequence[_Change]) -> dict[str, Any]: ...
def merge(base: Mapping[str, Any], ours: Mapping[str, Any], theirs: Mapping[str, Any]) -> tuple[dict[str, Any], list[_Conflict]]: ...
