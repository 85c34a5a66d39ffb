"""The `vext` command: located diff and three-way merge of XML and JSON files,
usable as a git merge driver.

The native layer (vext._core) reads, compares, merges and writes the files,
keeping every byte that nothing changed; this module parses the command line,
reads and writes the files and reports. Exit status follows diff(1): 0 same or
merged cleanly, 1 differences or conflicts, 2 trouble; 130 when interrupted.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import signal
import stat
import sys
from typing import TYPE_CHECKING, Any, BinaryIO

import vext_py

from vext import Commit, Store, StoreError, _core, _terminal, _treejson, diff, merge
from vext._terminal import Trouble

if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

    from vext import Step, Value

SAME, DIFFERENT, TROUBLE, INTERRUPTED = 0, 1, 2, 130

# The longest value a line shows, in characters; an ellipsis marks the cut.
WIDTH = 60

# A change: (op, path, what, old, new); a conflict: (path, what, base, ours, theirs).
ChangeRow = tuple[str, str, str, str | None, str | None]
ConflictRow = tuple[str, str, str | None, str | None, str | None]

_DESCRIPTION = """\
Located diff and three-way merge of XML and JSON files. The format of each
file is found from its content (XML starts with "<"); "-" reads standard input.
Nodes are paired by identity (an XML element's id or xml:id attribute, a JSON
member's name) and by aligning siblings. A merged file keeps ours' bytes
wherever nothing changed.

exit status: 0 same / merged cleanly, 1 differences / conflicts, 2 trouble,
130 interrupted."""

_DIFF_HELP = """\
Prints one line per change from OLD to NEW, in document order:
    OP PATH WHAT: OLD -> NEW
OP is insert, remove, update or move (insert shows only the new value, remove
only the old one); PATH is XPath-like in XML (/catalog/product[@id="p7"]/@price)
and a JSON Pointer in JSON (/servers/0/port; the root is shown as "(root)");
WHAT says what changed: text, attribute, node, position, order, kind, label,
identity or attributes. Values are quoted and cut at 60 characters with an
ellipsis; control characters in values and paths are escaped (\\n, \\x1b), so
each change is exactly one line.

exit status: 0 no differences, 1 differences, 2 trouble."""

_MERGE_HELP = """\
Merges into OURS the changes THEIRS made to BASE and writes the result to OUT
(replaced atomically; OUT may be OURS) or to standard output. The result keeps
ours' layout: only the bytes of what changed differ.

A change made on one side is taken. Where both sides changed the same thing
differently there is a conflict: the smallest element (XML) or member (JSON)
that holds it is written as
    <<<<<<< ours / ours' version / ||||||| base / base's version /
    ======= / theirs' version / >>>>>>> theirs     (each on its own line)
or, with --ours, as ours' version (the file stays well-formed). Each conflict is
reported on standard error as one line: its location, what conflicted, and the
base, ours and theirs values.

As a git merge driver:  vext merge %O %A %B -o %A

exit status: 0 merged without conflicts, 1 conflicts (the file is still
written), 2 trouble (nothing is written)."""


def _id_attr(text: str) -> str:
    element, at, name = text.rpartition("@")
    if not name or (at and not element):
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME or ELEMENT@NAME")
    return text


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vext", description=_DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {vext_py.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "--id-attr", metavar="[ELEMENT@]NAME", type=_id_attr, action="append", default=[],
        help="an XML attribute that gives an element its identity, on every element or only on ELEMENT; "
        "may be repeated (default: id and xml:id)",
    )
    common.add_argument(
        "--tree-json", action="store_true",
        help="read each file as one tree dict in JSON (the shape vext.diff and vext.merge take)",
    )

    sub = commands.add_parser(
        "diff", parents=[common], help="list the changes between two files",
        description=_DIFF_HELP, formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.add_argument("--json", action="store_true",
                     help='print a JSON array of {"op", "path", "what", "old", "new"} with whole values')
    sub.add_argument("old", metavar="OLD", help="the old file")
    sub.add_argument("new", metavar="NEW", help="the new file")

    sub = commands.add_parser(
        "merge", parents=[common], help="merge two files derived from a common base",
        description=_MERGE_HELP, formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.add_argument("-o", "--output", metavar="OUT", help="write the merged file to OUT instead of standard output")
    sub.add_argument("--ours", dest="no_markers", action="store_true",
                     help="write ours' version at each conflict instead of conflict markers")
    sub.add_argument("--json", action="store_true",
                     help='print the conflicts as a JSON array of {"path", "what", "base", "ours", "theirs"} '
                     "on standard output instead of lines on standard error; needs -o OUT")
    sub.add_argument("base", metavar="BASE", help="the common ancestor")
    sub.add_argument("ours", metavar="OURS", help="our version")
    sub.add_argument("theirs", metavar="THEIRS", help="their version")

    sub = commands.add_parser(
        "log", help="list the commits of a store, newest first",
        description="Prints one line per commit reachable from BRANCH (default main), newest first:\n"
        "    ID DATE TIME MESSAGE\nwith the id's first 12 hex digits, the time in UTC and the message's first line.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.add_argument("--json", action="store_true",
                     help='print a JSON array of {"id", "parents", "message", "time"} with whole ids')
    sub.add_argument("store", metavar="STORE", help="the store file (vext.Store)")
    sub.add_argument("branch", metavar="BRANCH", nargs="?", default="main", help="a branch or commit (default: main)")

    sub = commands.add_parser(
        "show", help="print the tree of a commit in a store",
        description="Prints the tree of COMMIT (a branch, a commit id or a unique prefix of one) as indented JSON.",
    )
    sub.add_argument("--json", action="store_true",
                     help='print one JSON object {"id", "parents", "message", "time", "tree"} instead')
    sub.add_argument("store", metavar="STORE", help="the store file (vext.Store)")
    sub.add_argument("commit", metavar="COMMIT", help="a branch, a commit id or a unique prefix of one")

    for name, what in (("push", "from STORE into OTHER"), ("pull", "from OTHER into STORE")):
        sub = commands.add_parser(
            name, help=f"copy a branch {what}",
            description=f"Copies BRANCH (default main) {what}: the commits and objects the receiving store "
            "lacks, then the branch, which moves only as a fast-forward. Each store is a file or a "
            "postgresql:// connection URI; the receiving store is created if missing.",
        )
        sub.add_argument("store", metavar="STORE", help="a store file or postgresql:// URI")
        sub.add_argument("other", metavar="OTHER", help="a store file or postgresql:// URI")
        sub.add_argument("branch", metavar="BRANCH", nargs="?", default="main", help="the branch (default: main)")
    return parser


# ---------------------------------------------------------------- text


def _show(value: str | None) -> str:
    """A value as a line shows it: quoted, escaped, cut at WIDTH characters."""
    if value is None:
        return "(none)"
    if len(value) > WIDTH:
        value = value[: WIDTH - 1] + "\u2026"
    return '"' + _terminal.QUOTED.sub(_terminal.escape, value) + '"'


def _where(path: str) -> str:
    return _terminal.plain(path) if path else "(root)"


def _change_line(row: ChangeRow) -> str:
    op, path, what, old, new = row
    if op == "insert":
        values = _show(new)
    elif op == "remove":
        values = _show(old)
    else:
        values = f"{_show(old)} -> {_show(new)}"
    return f"{op} {_where(path)} {what}: {values}"


def _conflict_line(row: ConflictRow) -> str:
    path, what, base, ours, theirs = row
    return f"vext: conflict: {_where(path)} {what}: base {_show(base)}, ours {_show(ours)}, theirs {_show(theirs)}"


def _json_array(rows: Sequence[tuple[str | None, ...]], keys: tuple[str, ...]) -> str:
    items = [json.dumps(dict(zip(keys, row, strict=True))) for row in rows]
    return "[" + ",\n ".join(items) + "]\n"


# ---------------------------------------------------------------- reading


def _read_one(path: str, opened: BinaryIO | None = None) -> bytes:
    try:
        if opened is not None:
            data = opened.read()
        elif path != "-":
            with open(path, "rb") as f:
                data = f.read()
        elif sys.stdin is None or 0 in _terminal.closed:
            raise Trouble("<stdin>: standard input is closed")
        else:
            data = sys.stdin.buffer.read()
    except OSError as e:
        raise Trouble(f"{_terminal.name(path)}: {e.strerror or e}") from None
    if not data:
        raise Trouble(f"{_terminal.name(path)}: the file is empty")
    return data


def _check_stdin_once(paths: Sequence[str]) -> None:
    if list(paths).count("-") > 1:
        raise Trouble('standard input ("-") can be read only once')


def _read(paths: Sequence[str]) -> list[bytes]:
    _check_stdin_once(paths)
    return [_read_one(path) for path in paths]


def _inputs(paths: Sequence[str], files: contextlib.ExitStack) -> list[bytes | BinaryIO]:
    """Like _read, except that a regular file that is not empty is handed to
    the native layer open (and closed with `files`): it reads the bytes
    itself, so that they are not copied through Python."""
    _check_stdin_once(paths)
    inputs: list[bytes | BinaryIO] = []
    for path in paths:
        opened = None
        if path != "-":
            try:
                opened = files.enter_context(open(path, "rb"))
                info = os.fstat(opened.fileno())
            except OSError as e:
                raise Trouble(f"{_terminal.name(path)}: {e.strerror or e}") from None
            if stat.S_ISREG(info.st_mode) and info.st_size > 0:
                inputs.append(opened)
                continue
        inputs.append(_read_one(path, opened))
    return inputs


# ---------------------------------------------------------------- commands


def _native[T](names: Sequence[str], call: Callable[[], T]) -> T:
    """Runs a native file call, turning its errors into Trouble naming the file."""
    try:
        return call()
    except _core.FormatError as e:
        if 0 <= e.which < len(names):
            raise Trouble(f"{_terminal.name(names[e.which])}: {e}") from None
        raise Trouble(f"cannot write the merged file: {e}") from None
    except OSError as e:  # a file handed on open could not be read
        raise Trouble(f"{_terminal.name(str(e.filename))}: {e.strerror or e}") from None


def _trees(names: Sequence[str]) -> list[dict[str, Any]]:
    trees = []
    for name, data in zip(names, _read(names), strict=True):
        try:
            trees.append(_treejson.read_tree(data))
        except _treejson.TreeFileError as e:
            raise Trouble(f"{_terminal.name(name)}: {e}") from None
    return trees


def _run_diff(args: argparse.Namespace) -> int:
    names = [args.old, args.new]
    with _terminal.Progress("diffing"):
        if args.tree_json:
            old, new = _trees(names)
            rows: Sequence[ChangeRow] = [
                (c.op, _treejson.path_text(c.location, c.field, c.name), c.field, _treejson.value_text(c.old), _treejson.value_text(c.new))
                for c in diff(old, new)
            ]
        else:
            with contextlib.ExitStack() as files:
                data = _inputs(names, files)
                rows = _native(names, lambda: _core.diff_files(data[0], data[1], id_attrs=args.id_attr))
    if args.json:
        _terminal.emit(_json_array(rows, ("op", "path", "what", "old", "new")))
    else:
        _terminal.emit("".join(_change_line(row) + "\n" for row in rows))
    return DIFFERENT if rows else SAME


def _run_merge(args: argparse.Namespace) -> int:
    names = [args.base, args.ours, args.theirs]
    to_file = args.output not in (None, "-")
    with _terminal.Progress("merging"):
        if args.tree_json:
            tree, found = merge(*_trees(names))
            merged = _treejson.render_json(tree).encode("utf-8")
            conflicts: Sequence[ConflictRow] = [
                (_treejson.path_text(c.location, c.field, c.name), c.field,
                 _treejson.value_text(c.base), _treejson.value_text(c.ours), _treejson.value_text(c.theirs))
                for c in found
            ]
        else:
            with contextlib.ExitStack() as files:
                data = _inputs(names, files)
                merged, conflicts = _native(names, lambda: _core.merge_files(
                    data[0], data[1], data[2], id_attrs=args.id_attr, markers=not args.no_markers))
        if to_file:
            _terminal.write_file(args.output, merged)
    if not to_file:
        _terminal.emit(merged)
    if args.json:
        _terminal.emit(_json_array(conflicts, ("path", "what", "base", "ours", "theirs")))
    else:
        for row in conflicts:
            _terminal.say(_conflict_line(row))
    return DIFFERENT if conflicts else SAME


def _open_store(path: str, create: bool = False) -> Store:
    # Inspecting never creates a store; the receiving end of a push or pull may be new.
    if not create and not path.startswith(("postgresql://", "postgres://")) and not os.path.exists(path):
        raise Trouble(f"{_terminal.name(path)}: no such file")
    try:
        return Store(path)
    except StoreError as e:
        raise Trouble(str(e)) from None


def _commit_json(commit: Commit) -> dict[str, Any]:
    return {"id": commit.id, "parents": list(commit.parents), "message": commit.message, "time": commit.time}


def _run_log(args: argparse.Namespace) -> int:
    with _open_store(args.store) as store:
        try:
            commits = list(store.log(args.branch))
        except StoreError as e:
            raise Trouble(str(e)) from None
    if args.json:
        _terminal.emit(json.dumps([_commit_json(c) for c in commits], ensure_ascii=False) + "\n")
    else:
        _terminal.emit("".join(_terminal.plain(str(c)) + "\n" for c in commits))
    return SAME


def _run_show(args: argparse.Namespace) -> int:
    with _open_store(args.store) as store:
        try:
            commit = store.info(args.commit)
            tree = store.tree(commit.id)
        except StoreError as e:
            raise Trouble(str(e)) from None
    if args.json:
        _terminal.emit(json.dumps(dict(_commit_json(commit), tree=tree), ensure_ascii=False) + "\n")
    else:
        _terminal.emit(_treejson.render_json(tree))
    return SAME


def _run_transfer(args: argparse.Namespace) -> int:
    with _open_store(args.store, create=args.command == "pull") as store, \
            _open_store(args.other, create=args.command == "push") as other:
        try:
            if args.command == "push":
                stats = store.push(other, args.branch)
            else:
                stats = store.pull(other, args.branch)
        except StoreError as e:
            raise Trouble(str(e)) from None
    _terminal.emit(f"{args.branch} -> {stats.head[:12]}: {stats.commits} commits, {stats.objects} objects copied\n")
    return SAME


_COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "diff": _run_diff, "merge": _run_merge, "log": _run_log, "show": _run_show,
    "push": _run_transfer, "pull": _run_transfer,
}


def run(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: the process's arguments) and
    returns the exit status. Every failure is one line on standard error."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
        if args.command == "merge" and args.json and args.output in (None, "-"):
            parser.error("merge --json needs -o OUT: the merged file and the report cannot share standard output")
        if getattr(args, "tree_json", False) and args.id_attr:
            parser.error("--id-attr has no meaning with --tree-json")
        return _COMMANDS[args.command](args)
    except SystemExit as e:  # argparse, after --help, --version or a usage error
        return e.code if isinstance(e.code, int) else TROUBLE if e.code else SAME
    except Trouble as e:
        _terminal.say(f"vext: {e}")
    except KeyboardInterrupt:
        return INTERRUPTED
    except MemoryError:
        _terminal.say("vext: out of memory")
    except BaseException as e:  # a bug (PanicException too) still ends in one line, never a traceback
        _terminal.say(f"vext: internal error: {type(e).__name__}: {e}")
    return TROUBLE


def main() -> int:
    """The console script: sets up the process, runs, and makes sure that
    what went to standard output got there."""
    try:
        _terminal.guard_standard_descriptors()
        if hasattr(signal, "SIGXFSZ"):
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a file too large fails with EFBIG instead
        if isinstance(sys.stdout, io.TextIOWrapper):
            sys.stdout.reconfigure(errors="backslashreplace")
        status = run()
        if sys.stdout is not None:
            sys.stdout.flush()
    except KeyboardInterrupt:
        return INTERRUPTED
    except OSError as e:
        _terminal.silence_stdout()
        _terminal.say(f"vext: cannot write to standard output: {e.strerror or e}")
        return TROUBLE
    return status
