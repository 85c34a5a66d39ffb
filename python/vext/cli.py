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
import itertools
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
    from collections.abc import Callable, Iterable, Iterator, Sequence

    from vext import Change, Step, Value

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

As a git merge driver:  vext merge --name %P --line-fallback %O %A %B -o %A

exit status: 0 merged without conflicts, 1 conflicts (the file is still
written), 2 trouble (nothing is written)."""


def _id_attr(text: str) -> str:
    element, at, name = text.rpartition("@")
    if not name or (at and not element):
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME or ELEMENT@NAME")
    return text


def _id_key(text: str) -> str:
    pointer, at, name = text.rpartition("@")
    if not text or (text.startswith("/") and (not at or not name)):
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME or POINTER@NAME")
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
        "--id-key", metavar="[POINTER@]NAME", type=_id_key, action="append", default=[],
        help="a member whose value gives the objects of JSON arrays their identity, in every array or only in "
        "those the JSON Pointer POINTER names (\"*\" stands for any one member name or index); may be repeated",
    )
    common.add_argument(
        "--tree-json", action="store_true",
        help="read each file as one tree dict in JSON (the shape vext.diff and vext.merge take)",
    )
    common.add_argument(
        "--name", metavar="NAME",
        help="the file's name in messages and conflict lines, for files with temporary names "
        "(a git merge driver passes %%P)",
    )

    sub = commands.add_parser(
        "diff", parents=[common], help="list the changes between two files",
        description=_DIFF_HELP, formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.add_argument("--json", action="store_true",
                     help='print a JSON array of {"op", "path", "what", "old", "new"} with whole values')
    sub.add_argument("--header", action="store_true",
                     help='before the changes (when there are any), print a line "diff OLD NEW" naming the '
                     "files, so that the output of several runs can be told apart")
    sub.add_argument("old", metavar="OLD", help="the old file")
    sub.add_argument("new", metavar="NEW", help="the new file")
    # git's external diff form: PATH OLD-FILE OLD-HEX OLD-MODE NEW-FILE NEW-HEX NEW-MODE.
    sub.add_argument("git_rest", nargs="*", help=argparse.SUPPRESS)

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
    sub.add_argument("--line-fallback", action="store_true",
                     help="when a file is refused, merge the files line by line with conflict markers "
                     "(git merge-file) instead of failing, and say so in one line")
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


def _conflict_line(row: ConflictRow, file: str | None = None) -> str:
    path, what, base, ours, theirs = row
    where = f"{file}: {_where(path)}" if file is not None else _where(path)
    return f"vext: conflict: {where} {what}: base {_show(base)}, ours {_show(ours)}, theirs {_show(theirs)}"


def _shown(args: argparse.Namespace, paths: Sequence[str], roles: Sequence[str]) -> list[str]:
    """The names messages give the files: with --name, that name and each
    file's role; else the paths."""
    if args.name is None:
        return [_terminal.name(path) for path in paths]
    return [f"{args.name} ({role})" for role in roles]


def _json_array(rows: Iterable[tuple[str | None, ...]], keys: tuple[str, ...]) -> Iterator[str]:
    """The rows as a JSON array of objects, one per line, piece by piece."""
    opening = "["
    for row in rows:
        yield opening + json.dumps(dict(zip(keys, row, strict=True)))
        opening = ",\n "
    yield "[]\n" if opening == "[" else "]\n"


def _same(row: ChangeRow) -> ChangeRow:
    return row


def _tree_change_row(c: Change) -> ChangeRow:
    return (c.op, _treejson.path_text(c.location, c.field, c.name), c.field,
            _treejson.value_text(c.old), _treejson.value_text(c.new))


def _spelled(row: tuple[Any, ...]) -> ChangeRow:
    """A change row from the native diff, its path spelled out."""
    op, path, what, old, new = row
    return op, path if isinstance(path, str) else _core.path_text(path), what, old, new


# ---------------------------------------------------------------- reading


def _read_one(path: str, opened: BinaryIO | None = None, *, empty: bool = False) -> bytes:
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
    if not data and not empty:
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


class Refused(Trouble):
    """A file, or the merged result, that the native layer cannot keep."""


def _native[T](paths: Sequence[str], shown: Sequence[str], call: Callable[[], T]) -> T:
    """Runs a native file call, turning its errors into Trouble naming the
    file as `shown` names it."""
    try:
        return call()
    except _core.FormatError as e:
        if 0 <= e.which < len(shown):
            raise Refused(f"{shown[e.which]}: {e}") from None
        raise Refused(f"cannot write the merged file: {e}") from None
    except OSError as e:  # a file handed on open could not be read
        filename = str(e.filename)
        where = shown[list(paths).index(filename)] if filename in paths else _terminal.name(filename)
        raise Trouble(f"{where}: {e.strerror or e}") from None


def _line_merge(data: Sequence[bytes]) -> tuple[bytes, bool]:
    """Merges base, ours and theirs line by line as git merge-file does, with
    conflict markers like ours; returns the result and whether it holds
    conflicts."""
    import subprocess
    import tempfile

    with tempfile.TemporaryDirectory(prefix="vext-") as directory:
        paths = [os.path.join(directory, role) for role in ("base", "ours", "theirs")]
        for path, content in zip(paths, data, strict=True):
            with open(path, "wb") as f:
                f.write(content)
        command = ["git", "merge-file", "-p", "--diff3", "-L", "ours", "-L", "base", "-L", "theirs",
                   paths[1], paths[0], paths[2]]
        try:
            done = subprocess.run(command, capture_output=True, check=False)
        except OSError as e:
            raise Trouble(f"cannot run git merge-file: {e.strerror or e}") from None
    # git merge-file exits with the number of conflicts, or negative on failure.
    if not 0 <= done.returncode < 128:
        why = done.stderr.decode(errors="replace").strip().splitlines()
        raise Trouble(f"git merge-file failed: {why[0] if why else done.returncode}")
    return done.stdout, done.returncode > 0


def _trees(names: Sequence[str]) -> list[dict[str, Any]]:
    trees = []
    for name, data in zip(names, _read(names), strict=True):
        try:
            trees.append(_treejson.read_tree(data))
        except _treejson.TreeFileError as e:
            raise Trouble(f"{_terminal.name(name)}: {e}") from None
    return trees


def _text_of(data: bytes) -> str:
    """A file's text, in the encoding its first bytes or XML declaration
    name (UTF-8 when none does)."""
    import codecs
    import re

    for bom, encoding in ((codecs.BOM_UTF32_LE, "utf-32"), (codecs.BOM_UTF32_BE, "utf-32"),
                          (codecs.BOM_UTF8, "utf-8-sig"), (codecs.BOM_UTF16_LE, "utf-16"),
                          (codecs.BOM_UTF16_BE, "utf-16")):
        if data.startswith(bom):
            return data.decode(encoding, errors="replace")
    if data.lstrip()[:1] != b"<":
        return data.decode(json.detect_encoding(data), errors="replace")
    for start, encoding in ((b"\0\0\0<", "utf-32-be"), (b"<\0\0\0", "utf-32-le"), (b"\0<", "utf-16-be"),
                            (b"<\0", "utf-16-le")):
        if data.startswith(start):
            return data.decode(encoding, errors="replace")
    declared = re.match(rb"<\?xml[^>]*?encoding\s*=\s*[\"']([A-Za-z0-9._:-]+)[\"']", data)
    try:
        return data.decode(declared.group(1).decode() if declared else "utf-8", errors="replace")
    except LookupError:
        return data.decode("utf-8", errors="replace")


def _one_sided(names: Sequence[str], args: argparse.Namespace) -> list[ChangeRow]:
    """The change git reports with /dev/null for a file added or deleted: the
    file's whole root inserted or removed, once the file reads as a document."""
    added = names[0] == os.devnull
    path = names[1] if added else names[0]
    data = _read_one(path)
    tree = _native([path], [_shown(args, [path], ("new" if added else "old",))[0]],
                   lambda: _core.read_file(data, id_attrs=args.id_attr, id_keys=args.id_key))
    root = "/" if tree.get("kind") == "#document" else ""
    text = _text_of(data)
    return [("insert", root, "node", None, text)] if added else [("remove", root, "node", text, None)]


def _run_diff(args: argparse.Namespace) -> int:
    names = [args.old, args.new]
    labels = [_terminal.name(args.old), _terminal.name(args.new)]
    if args.git_rest:  # git runs an external diff with seven arguments
        path = args.old
        names = [args.new, args.git_rest[2]]
        labels = [f"a/{path}", f"b/{path}"]
        args.header = True
        args.name = args.name or path
    with _terminal.Progress("diffing"):
        if args.git_rest and os.devnull in names and not args.tree_json:
            # An added or deleted file: git gives /dev/null for the side it lacks.
            items: Sequence[Any] = _one_sided(names, args)
            row_of: Callable[[Any], ChangeRow] = _same
        elif args.tree_json:
            old, new = _trees(names)
            items = diff(old, new)
            row_of = _tree_change_row
        else:
            with contextlib.ExitStack() as files:
                data = _inputs(names, files)
                items = _native(names, _shown(args, names, ("old", "new")),
                                lambda: _core.diff_files(data[0], data[1], id_attrs=args.id_attr,
                                                         id_keys=args.id_key))
                row_of = _spelled
    # Each line is made as it is written, so that a deep document's long
    # paths are never all held at once.
    rows = map(row_of, items)
    if args.json:
        _terminal.emit_all(_json_array(rows, ("op", "path", "what", "old", "new")))
    else:
        header = f"diff {_terminal.plain(labels[0])} {_terminal.plain(labels[1])}\n" if args.header and items else ""
        _terminal.emit_all(itertools.chain((header,), (_change_line(row) + "\n" for row in rows)))
    # git stops at an external diff's non-zero status.
    return DIFFERENT if items and not args.git_rest else SAME


def _run_merge(args: argparse.Namespace) -> int:
    names = [args.base, args.ours, args.theirs]
    to_file = args.output not in (None, "-")
    with _terminal.Progress("merging"):
        if args.tree_json:
            tree, found = merge(*_trees(names))
            status = DIFFERENT if found else SAME
            merged = _treejson.render_json(tree).encode("utf-8")
            conflicts: Sequence[ConflictRow] = [
                (_treejson.path_text(c.location, c.field, c.name), c.field,
                 _treejson.value_text(c.base), _treejson.value_text(c.ours), _treejson.value_text(c.theirs))
                for c in found
            ]
        else:
            shown = _shown(args, names, ("base", "ours", "theirs"))
            with contextlib.ExitStack() as files:
                # The fallback needs the bytes again, so they are read here;
                # an empty file (git's base when both sides added the file)
                # is refused by the merge and so merged by lines.
                raw = None
                if args.line_fallback:
                    _check_stdin_once(names)
                    raw = [_read_one(path, empty=True) for path in names]
                data: Sequence[bytes | BinaryIO] = raw if raw is not None else _inputs(names, files)
                try:
                    merged, conflicts = _native(names, shown, lambda: _core.merge_files(
                        data[0], data[1], data[2], id_attrs=args.id_attr, id_keys=args.id_key,
                        markers=not args.no_markers))
                except Refused as e:
                    if raw is None:
                        raise
                    _terminal.say(f"vext: {e}; merged line by line instead")
                    merged, lines_conflict = _line_merge(raw)
                    conflicts = []
                    status = DIFFERENT if lines_conflict else SAME
                else:
                    status = DIFFERENT if conflicts else SAME
        if to_file:
            _terminal.write_file(args.output, merged, args.name)
    if not to_file:
        _terminal.emit(merged)
    if args.json:
        _terminal.emit_all(_json_array(conflicts, ("path", "what", "base", "ours", "theirs")))
    else:
        for row in conflicts:
            _terminal.say(_conflict_line(row, args.name))
    return status


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
        if getattr(args, "tree_json", False) and args.id_key:
            parser.error("--id-key has no meaning with --tree-json")
        if args.command == "diff" and len(args.git_rest) not in (0, 5):
            parser.error("diff takes OLD NEW, or the seven arguments git gives an external diff")
        if args.command == "merge" and args.tree_json and args.line_fallback:
            parser.error("--line-fallback has no meaning with --tree-json")
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
