"""A JSON reader without a nesting limit, for documents too deep for `json`.

The standard reader recurses once per level and gives up after a few hundred
to a few thousand levels. This one keeps its open containers on a list, so it
reads anything memory allows. It is slower, so callers try `json.loads` first.
It accepts what `json.loads` accepts (NaN and Infinity included) and raises
`json.JSONDecodeError` with the same kinds of messages.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable
from typing import Any

# The string scanner that json itself uses (in C where available); typeshed
# does not list it.
scanstring: Callable[[str, int], tuple[str, int]] = getattr(json.decoder, "scanstring")

_SPACE = re.compile(r"[ \t\n\r]+")
_NUMBER = re.compile(r"(-?(?:0|[1-9][0-9]*))(\.[0-9]+)?([eE][-+]?[0-9]+)?")
_CONSTANTS: dict[str, Any] = {
    "null": None, "true": True, "false": False,
    "NaN": float("nan"), "Infinity": float("inf"), "-Infinity": float("-inf"),
}


def loads(text: str) -> Any:
    """Parses one JSON document from `text`."""
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
            value, pos = scanstring(text, pos + 1)
        else:
            number = _NUMBER.match(text, pos)
            if number:
                whole, fraction, exponent = number.groups()
                value = float(whole + (fraction or "") + (exponent or "")) if fraction or exponent else int(whole)
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
    key, pos = scanstring(text, pos + 1)
    pos = _skip(text, pos)
    if text[pos : pos + 1] != ":":
        raise json.JSONDecodeError("Expecting ':' delimiter", text, pos)
    return key, _skip(text, pos + 1)


def _skip(text: str, pos: int) -> int:
    """Returns the position of the first non-blank character from `pos` on."""
    blank = _SPACE.match(text, pos)
    return blank.end() if blank else pos
