"""Structural version control for labelled trees: diff, three-way merge and history.

Every function and method may also raise ``PanicException`` on an internal
failure. It is a direct subclass of ``BaseException`` (an ``except Exception``
clause does not catch it) and is not an attribute of the module.
"""

from collections.abc import Buffer, Sequence
from typing import Final, Literal, SupportsIndex, TypedDict, final, type_check_only

__all__ = ["Repo", "diff_trees", "merge_trees", "__version__"]

__version__: Final[str]

@type_check_only
class Tree(TypedDict, total=False):
    """One node of a tree, with its sub-tree under "children".

    Every key is optional and None means absent. On input a missing "kind"
    reads as "root", and "attributes" or "children" of another container type
    are ignored. Results come back with "kind" always present, the keys in this
    order, and no None values: an absent identity and an empty label, text,
    attribute dict or child list are left out. One type serves both ways, so a
    result can be passed back in unchanged.
    """

    kind: str | None
    identity: str | None
    label: str | None
    text: str | None
    attributes: dict[str, str] | None
    children: list[Tree] | None

@type_check_only
class Change(TypedDict):
    """One changed node reported by `diff_trees`."""

    kind: Literal["Added", "Removed", "Modified"]
    elem_type: str  # the node's kind
    id: str  # the node's identity, "" when it has none

def diff_trees(a: Tree, b: Tree) -> list[Change]:
    """Returns the changes that turn tree `a` into tree `b`, in diff order.

    Children are paired by kind and identity. Only nodes with an identity are
    reported by name; a change inside anonymous nodes is reported as
    "Modified" on the nearest identified ancestor (or on the root when nothing
    else changed). Labels are not compared.

    Raises:
        TypeError: a wrong call ("diff_trees() missing 1 required positional
            argument: 'b'"), or a malformed tree: "'list' object cannot be
            converted to 'PyDict'" where a tree dict belongs, "'int' object
            cannot be converted to 'PyString'" for a bad identity, label, text
            or attribute.
        UnicodeEncodeError: a string with lone surrogates (outside "kind").
        RecursionError: a tree nested deeper than 200,000 levels.
    """

def merge_trees(base: Tree, ours: Tree, theirs: Tree) -> tuple[Tree, int]:
    """Merges `ours` and `theirs`, both derived from `base`.

    Returns the merged tree and the number of conflicts. The merged tree starts
    as ours and keeps ours' side at every conflict; theirs contributes
    attribute changes, text changes and added nodes where ours made no change
    of the same sort at the same place. Theirs' removals are not applied, and
    a node removed only by ours comes back from base as the last child of its
    parent.

    Raises:
        TypeError: a wrong call or a malformed tree, as for `diff_trees`; the
            arguments are converted in the order base, ours, theirs.
        UnicodeEncodeError: a string with lone surrogates (outside "kind").
        RecursionError: a tree nested deeper than 200,000 levels.
    """

@final
class Repo:
    """An in-memory, content-addressed history of trees.

    Commit ids are ints from 0 to 2**64 - 1; any object with ``__index__`` is
    accepted where an id is expected. Every method raises:

    - TypeError for a wrong call ("Repo.tree_at() missing 1 required
      positional argument: 'commit'") or an id that is not an integer
      ("argument 'commit': ...");
    - OverflowError for a negative id or one of 2**64 or more;
    - PanicException("no entry found for key") for an id that is not a stored
      commit (the repository is left unchanged);
    - RuntimeError("Already borrowed" / "Already mutably borrowed") when called
      back on the same repository from inside one of its own calls.
    """

    def __new__(cls) -> Repo:
        """Creates an empty repository."""

    def commit(self, message: str, parents: Sequence[SupportsIndex], tree: Tree) -> int:
        """Stores `tree` as a new commit on top of `parents` and returns its id.

        The id hashes the tree, the parents, the message and the current
        second, so the same commit made twice within one second gets the same
        id. Parent ids are not checked.

        Raises:
            TypeError: "argument 'message': 'int' object cannot be converted to
                'PyString'"; "argument 'parents': Can't extract `str` to `Vec`";
                "argument 'parents': 'int' object cannot be converted to
                'Sequence'"; a malformed tree as for `diff_trees`.
        """

    def diff(self, a: SupportsIndex, b: SupportsIndex) -> list[tuple[list[str], str | None, str | None]]:
        """Returns the edits from commit `a` to commit `b`, in path order.

        Each row is (path, before, after): the path's elements (identity, or
        kind for a node without one, from the root down) and the text forms of
        the entry on each side ('Value { kind: "p", label: "", text: "x",
        attrs: [], order: 0 }'), None where the entry is absent.
        """

    def merge(self, ours: SupportsIndex, theirs: SupportsIndex) -> tuple[Tree, list[str]]:
        """Merges commit `theirs` into commit `ours` over their merge base.

        Returns the merged tree and the paths ("doc/intro") of the conflicting
        entries, where the merged tree keeps ours' side. No commit is made.
        """

    def cherry_pick(self, src: SupportsIndex, dst: SupportsIndex) -> Tree:
        """Applies the change that commit `src` made over its first parent to
        commit `dst`'s tree and returns the result. No commit is made.

        Raises:
            ValueError: an entry of `dst` differs from what the change expects;
                the message is "ApplyError { location: [...], expected: ...,
                found: ... }".
        """

    def revert(self, target: SupportsIndex, dst: SupportsIndex) -> Tree:
        """Undoes the change that commit `target` made over its first parent
        on commit `dst`'s tree and returns the result. No commit is made.

        Raises:
            ValueError: as for `cherry_pick`.
        """

    def log(self) -> list[tuple[int, str]]:
        """Returns (id, message) of every commit reachable from the latest
        commit, depth first, last parent first; [] for a new repository."""

    def tree_at(self, commit: SupportsIndex) -> Tree:
        """Returns the tree stored by `commit`.

        The tree is rebuilt from its flat form: siblings that share an
        identity (or, without identities, a kind) come back as one node, and
        an identity equal to the node's kind comes back absent.
        """

    def __reduce__(self) -> tuple[type[Repo], tuple[()], bytes]:
        """Returns how pickle and copy rebuild the repository: Repo(), then
        __setstate__ with the whole history saved as one bytes object."""

    def __setstate__(self, state: Buffer, /) -> None:
        """Restores a history saved by __reduce__ into this repository, which
        must be new and empty.

        Raises:
            TypeError: state is not bytes-like.
            ValueError: the repository already holds a history, or state is
                not a sound saved history (wrong magic number, unsupported
                format version, truncated, trailing bytes, checksum mismatch,
                inconsistent structure); the repository stays empty.
        """

    def __len__(self) -> int:
        """Returns the number of stored commits."""
