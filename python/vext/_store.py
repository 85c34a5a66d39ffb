"""A persistent, content-addressed history of trees in one SQLite file or
in a PostgreSQL database."""

from __future__ import annotations

import itertools
import os
import re
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

from vext import _core

if TYPE_CHECKING:
    from collections.abc import Iterator, Mapping, Sequence
    from types import TracebackType

    from vext import Change, Conflict, Tree

StoreError = _core.StoreError


@dataclass(frozen=True, slots=True)
class Commit:
    """One commit: its id, the id of its tree's root node, its parents (the
    first is the branch it was made on), its message and its time (seconds
    since the epoch, UTC)."""

    id: str
    root: str
    parents: tuple[str, ...]
    message: str
    time: float

    def __str__(self) -> str:
        stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(self.time))
        first = self.message.splitlines()[0] if self.message else ""
        return f"{self.id[:12]} {stamp} {first}"


class StoreMergeResult(NamedTuple):
    """A merge through a store: the merged tree and the conflicts, as
    `vext.merge` gives them, the merge commit (None when there are conflicts
    and nothing was recorded) and the merge base."""

    tree: Tree
    conflicts: tuple[Conflict, ...]
    commit: str | None
    base: str


@dataclass(frozen=True, slots=True)
class StoreStats:
    """What `Store.verify` checked: objects (nodes and list chunks), commits, branches."""

    objects: int
    commits: int
    branches: int


@dataclass(frozen=True, slots=True)
class TransferStats:
    """What `Store.push` or `Store.pull` copied: objects (nodes and list
    chunks) and commits the target lacked, and the commit the target's branch
    points at afterwards."""

    objects: int
    commits: int
    head: str


# libpq's two forms of a connection string: a URI, or keyword=value pairs.
_POSTGRES = re.compile(r"postgres(ql)?://|[ \t\n\r]*[a-z_]+[ \t\n\r]*=")


class Store:
    """A history of trees kept in one SQLite file, created if missing, or in
    a PostgreSQL database named by a connection string as libpq takes it (a
    URI "postgresql://..." or "host=... dbname=..." pairs), whose tables
    are created if missing. A file whose name starts "word=" is given as
    "./word=...".

    Commits are durable when `commit` returns, and several processes may use
    one store at once: readers never wait, writers queue. Commit ids are
    SHA-256 hex strings; wherever a commit is asked for, a branch name, a full
    id or a unique prefix of at least four hex digits will do."""

    __slots__ = ("_handle", "path")

    def __init__(self, path: str | os.PathLike[str]) -> None:
        location = os.fspath(path)
        self._handle: object | None = _core.store_open(location)
        # A database is shown by user, host and database name: never its password.
        self.path = _core.store_name(self._handle) if _POSTGRES.match(location) else location

    def __enter__(self) -> Store:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"vext.Store({self.path!r})"

    def close(self) -> None:
        """Closes the store; further calls raise StoreError. Closing twice is harmless."""
        if self._handle is not None:
            _core.store_close(self._handle)
            self._handle = None

    @property
    def _h(self) -> object:
        if self._handle is None:
            raise StoreError(f"{self.path}: the store is closed")
        return self._handle

    def commit(
        self, tree: Mapping[str, Any], message: str, *, parents: Sequence[str] | None = None, branch: str = "main"
    ) -> str:
        """Records `tree` on `branch` (created if missing) and returns the new
        commit's id. Without `parents`, the branch's head is the parent. With
        them, the branch's head must be among them: if another writer moved
        the branch since, StoreError (reason "branch_moved") is raised and
        nothing is written."""
        full = None if parents is None else [_core.store_resolve(self._h, p) for p in parents]
        return _core.store_commit(self._h, tree, message, full, branch, time.time())

    def tree(self, commit: str) -> Tree:
        """Returns the tree of a commit, exactly as it was committed."""
        return _core.store_tree(self._h, commit)

    def resolve(self, commit: str) -> str:
        """Returns the full id of a branch's head, an id or a unique id prefix."""
        return _core.store_resolve(self._h, commit)

    def info(self, commit: str) -> Commit:
        """Returns a commit's id, root, parents, message and time."""
        return Commit(*_core.store_info(self._h, commit))

    def head(self, branch: str = "main") -> str:
        """Returns the id of the commit a branch points at."""
        for name, head in _core.store_branches(self._h):
            if name == branch:
                return head
        raise StoreError(f"{self.path}: no branch '{branch}'")

    @property
    def branches(self) -> dict[str, str]:
        """Every branch and the id of its head, by name."""
        return dict(_core.store_branches(self._h))

    def branch(self, name: str, at: str = "main") -> str:
        """Creates branch `name` at commit `at` (a branch's head by default
        "main") and returns the commit's id; StoreError if it exists."""
        return _core.store_set_branch(self._h, name, at, True)

    def reset(self, name: str, to: str) -> str:
        """Moves branch `name` to commit `to`, whatever it pointed at, and returns the id."""
        return _core.store_set_branch(self._h, name, to, False)

    def delete_branch(self, name: str) -> None:
        """Deletes a branch; its commits stay in the store."""
        _core.store_delete_branch(self._h, name)

    def diff(self, old: str, new: str) -> list[Change]:
        """Returns the edits from commit `old`'s tree to commit `new`'s, as
        `vext.diff` of the two trees gives them."""
        from vext import Change

        return [
            Change(op, loc, field, name, before, after, index)  # type: ignore[arg-type]
            for op, loc, field, name, before, after, index in _core.store_diff(self._h, old, new)
        ]

    def merge(self, branch: str, *, into: str = "main", message: str | None = None) -> StoreMergeResult:
        """Merges the head of `branch` into the head of `into` over their
        best common ancestor, as `vext.merge` merges the three trees. A clean
        merge is recorded as a commit with both heads as parents and moves
        `into`; with conflicts nothing is recorded. When `branch` is already
        part of `into`'s history, nothing is recorded and `commit` is `into`'s head."""
        from vext import Conflict

        text = message if message is not None else f"Merge {branch} into {into}"
        tree, raw, commit, base = _core.store_merge(self._h, branch, into, text, time.time())
        conflicts = tuple(
            Conflict(loc, field, name, b, o, t)  # type: ignore[arg-type]
            for loc, field, name, b, o, t in raw
        )
        return StoreMergeResult(tree, conflicts, commit, base)

    def log(self, branch: str = "main") -> Iterator[Commit]:
        """Yields the commits reachable from `branch` (or any commit), newest
        first by time, each once. The history is read in one native call,
        when the iteration starts."""
        return itertools.chain.from_iterable(self._log(branch))

    def _log(self, branch: str) -> Iterator[list[Commit]]:
        # One step, taken when the iteration starts; the commits are built natively.
        yield _core.store_log(self._h, branch, Commit)

    def push(self, other: Store, branch: str = "main", *, to: str | None = None) -> TransferStats:
        """Copies `branch` into store `other` (as branch `to`, by default the
        same name): the objects and commits `other` lacks, then the branch.
        The branch only moves forward: if it points at a commit that is not
        in `branch`'s history, StoreError (reason "branch_moved") is raised
        and it stays where it is (push to a branch of its own, then merge).
        An interrupted push leaves `other` whole; the next one goes on."""
        return TransferStats(*_core.store_transfer(self._h, other._h, branch, branch if to is None else to))

    def pull(self, other: Store, branch: str = "main", *, into: str | None = None) -> TransferStats:
        """Copies `branch` of store `other` into this store (as branch
        `into`, by default the same name), as `other.push(self, ...)` does."""
        return TransferStats(*_core.store_transfer(other._h, self._h, branch, branch if into is None else into))

    def verify(self) -> StoreStats:
        """Rechecks every stored object's hash and shape and that everything
        the branches reach is there; raises StoreError (reason "corrupt")
        naming the first problem."""
        return StoreStats(*_core.store_verify(self._h))
