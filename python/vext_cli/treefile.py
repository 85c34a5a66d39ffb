"""Tree files: JSON in the tree-dict shape, or XML.

XML maps onto trees this way: the element's tag is the kind, the identity
attribute ("id" unless told otherwise) is the identity, the other attributes
are the attributes in document order, and the element's own character data,
with surrounding whitespace dropped, is the text. Tags and attribute names are
taken as written (a prefix stays part of the name); comments, processing
instructions and the DOCTYPE are not kept. Entity declarations are refused, so
no file can expand entities or pull in outside content.

Every walk here uses an explicit stack, so trees as deep as the module allows
are read and written without recursion.
"""

from __future__ import annotations

import json
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Literal, NamedTuple, cast
from xml.parsers import expat

from . import deepjson

if TYPE_CHECKING:
    from vext_py import Tree

Format = Literal["json", "xml"]

# The deepest tree vext_py accepts (the root is level 1).
MAX_DEPTH = 200_000

# Indentation stops growing here, so that very deep trees stay linear in size.
_MAX_INDENT_LEVEL = 32

_TREE_KEYS = ("kind", "identity", "label", "text", "attributes", "children")

_NAME_START = (
    ":A-Z_a-z\xc0-\xd6\xd8-\xf6\xf8-\u02ff\u0370-\u037d\u037f-\u1fff\u200c-\u200d"
    "\u2070-\u218f\u2c00-\u2fef\u3001-\ud7ff\uf900-\ufdcf\ufdf0-\ufffd\U00010000-\U000effff"
)
_XML_NAME = re.compile(f"[{_NAME_START}][{_NAME_START}\\-.0-9\xb7\u0300-\u036f\u203f-\u2040]*")
_NOT_XML_CHAR = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")
_TEXT_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"})
_ATTR_ESCAPES = str.maketrans(
    {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "\t": "&#9;", "\n": "&#10;", "\r": "&#13;"}
)
_XML_START = re.compile(rb"[ \t\r\n]*<")


class TreeFileError(Exception):
    """A tree file that cannot be read or written. The message names the file."""


def is_xml_name(text: str) -> bool:
    return _XML_NAME.fullmatch(text) is not None


def display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def read_tree(path: str, id_attr: str = "id") -> tuple[Tree, Format]:
    """Reads a tree file ("-" is standard input) and tells which format it had.

    The format is found from the content: XML starts with "<", JSON never does.
    """
    name = display_name(path)
    try:
        data = sys.stdin.buffer.read() if path == "-" else Path(path).read_bytes()
    except OSError as e:
        raise TreeFileError(f"{name}: {e.strerror or e}") from None
    if sniff_format(data) == "xml":
        return parse_xml(data, name, id_attr), "xml"
    return parse_json(data, name), "json"


def sniff_format(data: bytes) -> Format:
    for bom, codec in ((b"\xff\xfe", "utf-16-le"), (b"\xfe\xff", "utf-16-be")):
        if data.startswith(bom):
            head = data[len(bom) : len(bom) + 512].decode(codec, "ignore")
            return "xml" if head.lstrip().startswith("<") else "json"
    start = 3 if data.startswith(b"\xef\xbb\xbf") else 0
    return "xml" if _XML_START.match(data, start) else "json"


# ---------------------------------------------------------------- JSON in


def parse_json(data: bytes, name: str) -> Tree:
    try:
        try:
            value = json.loads(data)
        except RecursionError:
            value = deepjson.loads(data.decode(json.detect_encoding(data)))
    except json.JSONDecodeError as e:
        raise TreeFileError(f"{name}: invalid JSON: {e.msg} at line {e.lineno} column {e.colno}") from None
    except UnicodeDecodeError as e:
        raise TreeFileError(f"{name}: invalid JSON: not UTF-8 text ({e.reason} at byte {e.start})") from None
    problem = check_tree(value)
    if problem:
        raise TreeFileError(f"{name}: not a tree: {problem}")
    return cast("Tree", value)


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
    if isinstance(value, dict):
        return "an object"
    return type(value).__name__


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
    """Returns what makes `value` not a tree dict, or None when it is one.

    Files must hold exactly the tree-dict shape: unlike the module, which
    ignores unknown keys and non-list children, this refuses them, since in a
    file they are almost always mistakes that would silently drop data.
    """
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


# ---------------------------------------------------------------- XML in


class _Refused(Exception):
    pass


@dataclass
class _Element:
    kind: str
    identity: str | None
    attributes: dict[str, str]
    children: list[Tree] = field(default_factory=list)
    pieces: list[str] = field(default_factory=list)  # finished runs of text
    run: list[str] = field(default_factory=list)  # character data since the last tag

    def end_run(self) -> None:
        if self.run:
            piece = "".join(self.run).strip()
            if piece:
                self.pieces.append(piece)
            self.run.clear()

    def node(self) -> Tree:
        self.end_run()
        node: Tree = {"kind": self.kind}
        if self.identity is not None:
            node["identity"] = self.identity
        if self.pieces:
            node["text"] = " ".join(self.pieces)
        if self.attributes:
            node["attributes"] = self.attributes
        if self.children:
            node["children"] = self.children
        return node


def parse_xml(data: bytes, name: str, id_attr: str = "id") -> Tree:
    """Parses an XML document into a tree.

    Text pieces separated by child elements (mixed content) are joined with a
    single space into the element's one text.
    """
    parser = expat.ParserCreate()  # no namespace processing: names stay as written
    parser.ordered_attributes = True
    open_elements: list[_Element] = []
    result: list[Tree] = []

    def start(tag: str, attrs: list[str]) -> None:
        if open_elements:
            open_elements[-1].end_run()
        if len(open_elements) >= MAX_DEPTH:
            raise _Refused(f"nested deeper than {MAX_DEPTH:,} levels")
        identity = None
        attributes: dict[str, str] = {}
        for i in range(0, len(attrs), 2):
            if attrs[i] == id_attr:
                identity = attrs[i + 1]
            else:
                attributes[attrs[i]] = attrs[i + 1]
        open_elements.append(_Element(tag, identity, attributes))

    def end(tag: str) -> None:
        node = open_elements.pop().node()
        if open_elements:
            open_elements[-1].children.append(node)
        else:
            result.append(node)

    def characters(text: str) -> None:
        if open_elements:
            open_elements[-1].run.append(text)

    def refuse_entity(*args: object) -> None:
        raise _Refused("entity declarations are not allowed")

    def refuse_external(*args: object) -> int:
        raise _Refused("external entities are not allowed")

    def refuse_skipped(entity: str, is_parameter: int) -> None:
        raise _Refused(f"entity &{entity}; is not defined (external DTDs are not read)")

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = characters
    parser.EntityDeclHandler = refuse_entity
    parser.UnparsedEntityDeclHandler = refuse_entity
    parser.ExternalEntityRefHandler = refuse_external
    parser.SkippedEntityHandler = refuse_skipped
    try:
        parser.Parse(data, True)
    except expat.ExpatError as e:
        raise TreeFileError(f"{name}: invalid XML: {e}") from None
    except _Refused as e:
        raise TreeFileError(f"{name}: refused XML: {e} (line {parser.CurrentLineNumber})") from None
    return result[0]


# ---------------------------------------------------------------- out


def _pad(level: int) -> str:
    return "  " * min(level, _MAX_INDENT_LEVEL)


def _match_key(node: Tree) -> str:
    kind = node.get("kind") or ""
    identity = node.get("identity")
    return kind if identity is None else f"{kind}#{identity}"


class _Trail(NamedTuple):
    """A node on the way down, linked to its parent's trail for messages."""

    parent: _Trail | None
    node: Tree

    def path(self) -> str:
        """Joins the match keys from below the root down to this node with "/"."""
        keys: list[str] = []
        trail: _Trail | None = self
        while trail is not None and trail.parent is not None:
            keys.append(_match_key(trail.node))
            trail = trail.parent
        return "/".join(reversed(keys))


def render(tree: Tree, fmt: Format, id_attr: str = "id") -> str:
    return render_xml(tree, id_attr) if fmt == "xml" else render_json(tree)


def render_json(tree: Tree) -> str:
    """Writes `tree` as `json.dumps(tree, indent=2, ensure_ascii=False)` does,
    with a newline at the end, without recursion."""
    out: list[str] = []
    work: list[str | tuple[Tree, int]] = [(tree, 0)]
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
        todo: list[str | tuple[Tree, int]] = ["{"]
        for i, (key, value) in enumerate(node.items()):
            todo.append(("," if i else "") + f"\n{inner}{json.dumps(key)}: ")
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


class _XmlProblem(Exception):
    pass


def _xml_text(text: str, escapes: dict[int, str], what: str) -> str:
    bad = _NOT_XML_CHAR.search(text)
    if bad:
        raise _XmlProblem(f"{what} holds {ascii(bad.group())}, which XML cannot represent")
    return text.translate(escapes)


def render_xml(tree: Tree, id_attr: str = "id") -> str:
    """Writes `tree` as an indented XML document, without recursion.

    Raises TreeFileError (without a file name) when the tree has something
    XML cannot hold: a kind or attribute name that is not an XML name, a
    label, characters outside XML's range, or an attribute named like the
    identity attribute beside an identity.
    """
    out = ['<?xml version="1.0" encoding="utf-8"?>\n']
    # Items are text to write, or (trail, level) for a node to open.
    work: list[str | tuple[_Trail, int]] = [(_Trail(None, tree), 0)]
    while work:
        item = work.pop()
        if isinstance(item, str):
            out.append(item)
            continue
        trail, level = item
        node = trail.node
        try:
            kind = node.get("kind") or ""
            if not is_xml_name(kind):
                raise _XmlProblem(f"kind {json.dumps(kind)} is not an XML name")
            if node.get("label"):
                raise _XmlProblem("XML has no place for its label (write JSON to keep labels)")
            parts = [f"<{kind}"]
            identity = node.get("identity")
            attributes = node.get("attributes") or {}
            if identity is not None:
                if id_attr in attributes:
                    raise _XmlProblem(f"it has an identity and an attribute named {json.dumps(id_attr)}")
                parts.append(f' {id_attr}="{_xml_text(identity, _ATTR_ESCAPES, "its identity")}"')
            for attr, value in attributes.items():
                if not is_xml_name(attr):
                    raise _XmlProblem(f"attribute name {json.dumps(attr)} is not an XML name")
                parts.append(f' {attr}="{_xml_text(value, _ATTR_ESCAPES, f"attribute {attr}")}"')
            text = _xml_text(node.get("text") or "", _TEXT_ESCAPES, "its text")
        except _XmlProblem as e:
            where = f"node {json.dumps(trail.path())}" if trail.parent else "the root"
            raise TreeFileError(f"cannot write {where} as XML: {e}") from None
        children = node.get("children") or []
        if not children:
            parts.append(f">{text}</{kind}>\n" if text else "/>\n")
            out.append("".join(parts))
            continue
        parts.append(f">{text}\n")
        out.append("".join(parts))
        work.append(f"{_pad(level)}</{kind}>\n")
        child_pad = _pad(level + 1)
        for child in reversed(children):
            work.append((_Trail(trail, child), level + 1))
            work.append(child_pad)
    return "".join(out)
