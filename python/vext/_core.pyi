# The native half of vext: plain tuples in and out; vext wraps them in types.
from typing import Any

_Step = tuple[str, str | None, int]
_Change = tuple[str, tuple[_Step, ...], str, str | None, Any, Any, int | None]
_Conflict = tuple[tuple[_Step, ...], str, str | None, Any, Any, Any]

def diff(old: dict[str, Any], new: dict[str, Any]) -> list[_Change]: ...
def apply(tree: dict[str, Any], changes: list[_Change]) -> dict[str, Any]: ...
def merge(base: dict[str, Any], ours: dict[str, Any], theirs: dict[str, Any]) -> tuple[dict[str, Any], list[_Conflict]]: ...
