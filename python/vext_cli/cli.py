"""The `vext` command: diff and three-way merge of tree files (JSON or XML).

Exit status follows diff(1): 0 for no differences or no conflicts, 1 for
differences or conflicts, 2 for trouble (bad usage, a file that cannot be read,
parsed or written).
"""

from __future__ import annotations

import argparse
import io
import json
import signal
import sys
from pathlib import Path
from typing import TYPE_CHECKING

import vext_py

from .treefile import MAX_DEPTH, Format, TreeFileError, is_xml_name, read_tree, render, render_json

if TYPE_CHECKING:
    from collections.abc import Sequence

    from vext_py import Change

SAME, DIFFERENT, TROUBLE = 0, 1, 2

_DESCRIPTION = """\
Structural diff and three-way merge of trees stored as JSON (the tree-dict
shape of vext_py) or XML (tag -> kind, identity attribute -> identity, other
attributes -> attributes, character data -> text). The format of each file is
found from its content; "-" reads standard input.

exit status: 0 no differences / no conflicts, 1 differences / conflicts,
2 trouble."""

_DIFF_HELP = """\
Lists the changed nodes from OLD to NEW, one line each: the change (Added,
Removed or Modified), the node's kind and its identity. Children are paired by
kind and identity; only nodes with an identity are reported, and a change
inside anonymous nodes is reported on the nearest identified ancestor (the root
when nothing else changed). Labels are not compared.

exit status: 0 no differences, 1 differences, 2 trouble."""

_MERGE_HELP = """\
Merges the changes from BASE to THEIRS into OURS and writes the merged tree
(to standard output unless -o is given) in the format of OUT's extension
(.json or .xml) or else of OURS. At a conflict ours' side is kept and counted;
removals made only by theirs are not applied, and a node removed only by ours
comes back from BASE.

exit status: 0 no conflicts, 1 conflicts (the merged tree is still written),
2 trouble."""


def _id_attr(text: str) -> str:
    if not is_xml_name(text):
        raise argparse.ArgumentTypeError(f"{text!r} is not an XML attribute name")
    return text


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vext", description=_DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {vext_py.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", help="print a machine-readable JSON result")
    common.add_argument(
        "--id-attr", metavar="NAME", type=_id_attr, default="id",
        help="the XML attribute that holds a node's identity (default: id)",
    )

    diff = commands.add_parser(
        "diff", parents=[common], help="list the changed nodes between two trees",
        description=_DIFF_HELP, formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    diff.add_argument("old", metavar="OLD", help="the old tree file")
    diff.add_argument("new", metavar="NEW", help="the new tree file")

    merge = commands.add_parser(
        "merge", parents=[common], help="merge two trees derived from a common base",
        description=_MERGE_HELP, formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    merge.add_argument("base", metavar="BASE", help="the common ancestor")
    merge.add_argument("ours", metavar="OURS", help="our version: kept at conflicts")
    merge.add_argument("theirs", metavar="THEIRS", help="their version")
    merge.add_argument("-o", "--output", metavar="OUT", help="write the merged tree to OUT (may be OURS)")
    return parser


def _shown(identity: str) -> str:
    """The identity as written in a diff line: quoted when it is empty or
    could be misread (spaces, control characters)."""
    if identity and identity.isprintable() and not any(c.isspace() for c in identity):
        return identity
    return json.dumps(identity, ensure_ascii=False)


def format_changes(changes: Sequence[Change]) -> str:
    """One aligned line per change: kind, element type, identity."""
    width = max((len(c["elem_type"]) for c in changes), default=0)
    return "".join(f"{c['kind']:<8}  {c['elem_type']:<{width}}  {_shown(c['id'])}".rstrip() + "\n" for c in changes)


def _run_diff(args: argparse.Namespace) -> int:
    old, _ = read_tree(args.old, args.id_attr)
    new, _ = read_tree(args.new, args.id_attr)
    changes = vext_py.diff_trees(old, new)
    if args.json:
        sys.stdout.write(json.dumps(changes, indent=2, ensure_ascii=False) + "\n")
    else:
        sys.stdout.write(format_changes(changes))
    return DIFFERENT if changes else SAME


def _output_format(output: str | None, ours_format: Format) -> Format:
    suffix = Path(output).suffix.lower() if output and output != "-" else ""
    if suffix == ".json":
        return "json"
    if suffix == ".xml":
        return "xml"
    return ours_format


def _run_merge(args: argparse.Namespace) -> int:
    base, _ = read_tree(args.base, args.id_attr)
    ours, ours_format = read_tree(args.ours, args.id_attr)
    theirs, _ = read_tree(args.theirs, args.id_attr)
    merged, conflicts = vext_py.merge_trees(base, ours, theirs)
    to_file = args.output is not None and args.output != "-"
    if args.json and not to_file:
        sys.stdout.write(f'{{"conflicts": {conflicts}, "merged": {render_json(merged).rstrip()}}}\n')
        return DIFFERENT if conflicts else SAME
    out_name = args.output if to_file else "<stdout>"
    try:
        text = render(merged, _output_format(args.output, ours_format), args.id_attr)
    except TreeFileError as e:
        raise TreeFileError(f"{out_name}: {e}") from None
    if to_file:
        try:
            Path(args.output).write_bytes(text.encode("utf-8"))
        except OSError as e:
            raise TreeFileError(f"{out_name}: {e.strerror or e}") from None
    elif hasattr(sys.stdout, "buffer"):
        sys.stdout.flush()
        sys.stdout.buffer.write(text.encode("utf-8"))  # a file's bytes, whatever the locale
    else:
        sys.stdout.write(text)
    if args.json:
        sys.stdout.write(json.dumps({"conflicts": conflicts}) + "\n")
    elif conflicts:
        counted = "1 conflict; ours was kept" if conflicts == 1 else f"{conflicts} conflicts; ours was kept at each"
        print(f"vext: {counted}", file=sys.stderr)
    return DIFFERENT if conflicts else SAME


def run(argv: Sequence[str] | None = None) -> int:
    """Runs the command line with `argv` (default: the process's arguments)
    and returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        if args.command == "diff":
            return _run_diff(args)
        if not hasattr(vext_py, "merge_trees"):
            print("vext: this build of vext_py has no merge_trees", file=sys.stderr)
            return TROUBLE
        return _run_merge(args)
    except TreeFileError as e:
        print(f"vext: {e}", file=sys.stderr)
    except RecursionError:
        print(f"vext: a tree is nested deeper than {MAX_DEPTH:,} levels", file=sys.stderr)
    except MemoryError:
        print("vext: out of memory", file=sys.stderr)
    return TROUBLE


def main() -> int:
    """The console script: sets up the process's streams, then runs."""
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # a closed pipe ends us quietly, like cat
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="backslashreplace")  # identities the terminal cannot show
    return run()
