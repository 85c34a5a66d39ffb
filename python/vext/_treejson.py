"""Tree files: one tree dict (the shape vext.diff and vext.merge take) stored
as JSON, for `vext --tree-json`, and the text of its paths and values.

Files must hold exactly that shape: unknown keys, a "children" that is not an
array or an attribute value that is not a string are refused, since in a file
they are almost always mistakes that would silently drop data. So is a member
name given twice in one object, which JSON readers resolve by dropping one.

Trees may be nested as deeply as vext allows, far deeper than `json` reads,
so reading falls back to a reader that keeps its open containers on a list,
and checking and writing walk with explicit stacks.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from vext import _core

if TYPE_CHECKING:
    from vext import Step, Value

# The deepest tree vext accepts (the root is level 1).
MAX_DEPTH = _core.MAX_DEPTH

# Indentation stops growing here, so that very deep trees stay linear in size.
_MAX_INDENT_LEVEL = 32

_TREE_KEYS = ("kind", "identity", "label", "text", "attributes", "children")

# The string scanner that json itself uses (in C where available); typeshed
# does not list it.
_scanstring: Callable[[str, int], tuple[str, int]] = getattr(json.decoder, "scanstring")

_SPACE = re.compile(r"[ \t\n\r]+")
_NUMBER = re.compile(r"(-?(?:0|[1-9][0-9]*))(\.[0-9]+)?([eE][-+]?[0-9]+)?")
_CONSTANTS: dict[str, Any] = {
    "null": None, "true": True, "false": False,
    "NaN": float("nan"), "Infinity": float("inf"), "-Infinity": float("-inf"),
}


class TreeFileError(Exception):
    """A tree file that cannot be read. The message does not name the file."""


class DuplicateKeyError(ValueError):
    pass


def _unique(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    result = dict(pairs)
    if len(result) != len(pairs):
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise DuplicateKeyError(f"the member name {json.dumps(key, ensure_ascii=False)} occurs twice")
            seen.add(key)
    return result


def read_tree(data: bytes) -> dict[str, Any]:
    """Parses and checks one tree file."""
    try:
        try:
            # Numbers are never part of a tree; floats keep an integer of any
            # length from tripping the interpreter's digit limit.
            value = json.loads(data, parse_int=float, object_pairs_hook=_unique)
        except RecursionError:
            value = loads(data.decode(json.detect_encoding(data)), parse_int=float)
    except json.JSONDecodeError as e:
        raise TreeFileError(f"invalid JSON: {e.msg} (line {e.lineno}, column {e.colno})") from None
    except UnicodeDecodeError as e:
        raise TreeFileError(f"invalid JSON: not UTF-8 text ({e.reason} at byte {e.start})") from None
    except DuplicateKeyError as e:
        raise TreeFileError(f"invalid JSON: {e}") from None
    problem = check_tree(value)
    if problem:
        raise TreeFileError(f"not a tree: {problem}")
    return value  # type: ignore[no-any-return]


def loads(text: str, parse_int: Callable[[str], Any] = int) -> Any:
    """Parses one JSON document from `text` as `json.loads` does (NaN and
    Infinity included, the same kinds of `json.JSONDecodeError`), at any
    depth; a repeated member name raises DuplicateKeyError."""
    # Each open container is [container, key waiting for its value or None].
    stack: list[list[Any]] = []
    pos = _skip(text, 0)
    while True:
        # Here a value starts at `pos`.
        char = text[pos : pos + 1]
        value: Any
        if char == "{" or char == "[":
            pos = _skip(text, pos + 1)
            closing = "}" if char == "{" else "]"
            if text[pos : pos + 1] == closing:
                value, pos = ({} if char == "{" else []), pos + 1
            elif char == "[":
                stack.append([[], None])
                continue
            else:
                key, pos = _key(text, pos)
                stack.append([{}, key])
                continue
        elif char == '"':
            value, pos = _scanstring(text, pos + 1)
        else:
            number = _NUMBER.match(text, pos)
            if number:
                whole, fraction, exponent = number.groups()
                value = float(whole + (fraction or "") + (exponent or "")) if fraction or exponent else parse_int(whole)
                pos = number.end()
            else:
                for word, constant in _CONSTANTS.items():
                    if text.startswith(word, pos):
                        value, pos = constant, pos + len(word)
                        break
                else:
                    raise json.JSONDecodeError("Expecting value", text, pos)
        # A value is complete: store it, then close every container it completes.
        while True:
            pos = _skip(text, pos)
            if not stack:
                if pos != len(text):
                    raise json.JSONDecodeError("Extra data", text, pos)
                return value
            frame = stack[-1]
            container = frame[0]
            if isinstance(container, list):
                container.append(value)
                closing = "]"
            else:
                if frame[1] in container:
                    raise DuplicateKeyError(f"the member name {json.dumps(frame[1], ensure_ascii=False)} occurs twice")
                container[frame[1]] = value
                closing = "}"
            char = text[pos : pos + 1]
            if char == ",":
                pos = _skip(text, pos + 1)
                if closing == "}":
                    frame[1], pos = _key(text, pos)
                break
            if char != closing:
                raise json.JSONDecodeError("Expecting ',' delimiter", text, pos)
            stack.pop()
            value, pos = container, pos + 1


def _key(text: str, pos: int) -> tuple[str, int]:
    """Reads `"name":` at `pos` and returns the name and where its value starts."""
    if text[pos : pos + 1] != '"':
        raise json.JSONDecodeError("Expecting property name enclosed in double quotes", text, pos)
    key, pos = _scanstring(text, pos + 1)
    pos = _skip(text, pos)
    if text[pos : pos + 1] != ":":
        raise json.JSONDecodeError("Expecting ':' delimiter", text, pos)
    return key, _skip(text, pos + 1)


def _skip(text: str, pos: int) -> int:
    """Returns the position of the first non-blank character from `pos` on."""
    blank = _SPACE.match(text, pos)
    return blank.end() if blank else pos


def _json_type(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def _utf8_ok(text: str) -> bool:
    if text.isascii():
        return True
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


@dataclass
class _Where:
    """A node's place in the input, rebuilt into text only for a message."""

    parent: _Where | None = None
    index: int = 0

    def text(self, key: str = "") -> str:
        steps: list[str] = []
        where: _Where | None = self
        while where is not None and where.parent is not None:
            steps.append(f"children[{where.index}]")
            where = where.parent
        steps.reverse()
        if key:
            steps.append(key)
        return ".".join(steps) if steps else "the top-level value"


def check_tree(value: object) -> str | None:
    """Returns what makes `value` not a tree dict, or None when it is one."""
    stack: list[tuple[object, _Where, int]] = [(value, _Where(), 1)]
    while stack:
        node, where, depth = stack.pop()
        if not isinstance(node, dict):
            return f"{where.text()} is {_json_type(node)}, expected an object"
        if depth > MAX_DEPTH:
            return f"nested deeper than {MAX_DEPTH:,} levels"
        for key, item in node.items():
            if key not in _TREE_KEYS:
                return f"{where.text()} has the unknown key {json.dumps(key)}"
            if item is None:
                continue
            if key in ("kind", "identity", "label", "text"):
                if not isinstance(item, str):
                    return f"{where.text(key)} is {_json_type(item)}, expected a string or null"
                if not _utf8_ok(item):
                    return f"{where.text(key)} holds an unpaired surrogate"
            elif key == "attributes":
                if not isinstance(item, dict):
                    return f"{where.text(key)} is {_json_type(item)}, expected an object or null"
                for attr, attr_value in item.items():
                    if not isinstance(attr_value, str):
                        return f"{where.text(key)}.{attr} is {_json_type(attr_value)}, expected a string"
                    if not (_utf8_ok(attr) and _utf8_ok(attr_value)):
                        return f"{where.text(key)}.{attr} holds an unpaired surrogate"
            elif not isinstance(item, list):
                return f"{where.text(key)} is {_json_type(item)}, expected an array or null"
            else:
                for i in range(len(item) - 1, -1, -1):
                    stack.append((item[i], _Where(where, i), depth + 1))
    return None


def _pad(level: int) -> str:
    return "  " * min(level, _MAX_INDENT_LEVEL)


def render_json(tree: dict[str, Any]) -> str:
    """Writes `tree` as `json.dumps(tree, indent=2, ensure_ascii=False)` does,
    with a newline at the end, without recursion; past 32 levels of
    indentation (a tree 16 nodes deep) the indentation stops growing, so that
    a very deep tree stays linear in size (the text still reads back as the
    same value)."""
    out: list[str] = []
    work: list[str | tuple[dict[str, Any], int]] = [(tree, 0)]
    while work:
        item = work.pop()
        if isinstance(item, str):
            out.append(item)
            continue
        node, level = item
        if not node:
            out.append("{}")
            continue
        inner = _pad(level + 1)
        todo: list[str | tuple[dict[str, Any], int]] = ["{"]
        for i, (key, value) in enumerate(node.items()):
            todo.append(("," if i else "") + f"\n{inner}{json.dumps(key, ensure_ascii=False)}: ")
            if isinstance(value, list):
                if not value:
                    todo.append("[]")
                    continue
                todo.append("[")
                for j, child in enumerate(value):
                    todo.append(("," if j else "") + "\n" + _pad(level + 2))
                    todo.append((child, level + 2))
                todo.append(f"\n{inner}]")
            elif isinstance(value, dict):
                pad = _pad(level + 2)
                entries = [f"{pad}{json.dumps(k, ensure_ascii=False)}: {json.dumps(v, ensure_ascii=False)}"
                           for k, v in value.items()]
                todo.append("{\n" + ",\n".join(entries) + f"\n{inner}}}" if entries else "{}")
            else:
                todo.append(json.dumps(value, ensure_ascii=False))
        todo.append(f"\n{_pad(level)}}}")
        work.extend(reversed(todo))
    out.append("\n")
    return "".join(out)


def path_text(location: tuple[Step, ...], field: str, name: str | None) -> str:
    """The path that `vext --tree-json` shows for a change or conflict."""
    path = "".join(f"/{step}" for step in location) or "/"
    return path + (f"/@{name}" if field == "attribute" and name is not None else "")


def value_text(value: Value) -> str | None:
    """A change's or conflict's value as `vext --tree-json` shows it: text as
    it is, a node or attributes as JSON, at any depth."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, int):
        return str(value)
    if isinstance(value, tuple):
        return "[" + ", ".join(value) + "]"
    try:
        return json.dumps(value, ensure_ascii=False)
    except RecursionError:
        return render_json(value).rstrip("\n")
