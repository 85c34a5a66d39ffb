"""What the vext command does at the terminal: its streams and their
failures, the atomic writing of a result file, the progress line, and the
guard of the standard descriptors. Every failure here is Trouble: one line on
standard error and exit status 2."""

from __future__ import annotations

import contextlib
import os
import re
import sys
import threading
import time
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from collections.abc import Iterable

# Standard descriptors that were closed at start; /dev/null holds their place
# so that no file we open lands on them.
closed: set[int] = set()


class Trouble(Exception):
    """A problem reported as one line on standard error, with exit status 2."""


_PLAIN_ESCAPES = "\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069"
_PLAIN = re.compile(f"[{_PLAIN_ESCAPES}]")
QUOTED = re.compile(f'["\\\\{_PLAIN_ESCAPES}]')
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t", '"': '\\"', "\\": "\\\\"}


def escape(match: re.Match[str]) -> str:
    char = match.group()
    named = _NAMED.get(char)
    if named:
        return named
    return f"\\x{ord(char):02x}" if ord(char) < 0x100 else f"\\u{ord(char):04x}"


def plain(text: str) -> str:
    """Escapes the characters that could break or disguise a line of output:
    control characters, line and paragraph separators, direction marks."""
    return _PLAIN.sub(escape, text)


def name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def say(line: str) -> None:
    """Writes one line to standard error, wherever it went."""
    if sys.stderr is None or 2 in closed:
        return
    with contextlib.suppress(OSError, ValueError):
        sys.stderr.write(plain(line) + "\n")
        sys.stderr.flush()


def silence_stdout() -> None:
    """Points standard output at /dev/null after a failed write, so that the
    interpreter's last flush of what is still buffered fails no more."""
    with contextlib.suppress(OSError, ValueError, AttributeError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)


def emit(data: str | bytes) -> None:
    """Writes to standard output and flushes; a failure is Trouble."""
    if not data:
        return
    stream = sys.stdout
    if stream is None or 1 in closed:
        raise Trouble("cannot write to standard output: it is closed")
    try:
        if isinstance(data, bytes):
            stream.flush()
            stream.buffer.write(data)  # a file's bytes, whatever the locale
        else:
            stream.write(data)
        stream.flush()
    except OSError as e:
        silence_stdout()
        raise Trouble(f"cannot write to standard output: {e.strerror or e}") from None


def emit_all(pieces: Iterable[str]) -> None:
    """Writes `pieces` to standard output as they come, in blocks of about
    64 KiB, and flushes; a failure is Trouble."""
    block: list[str] = []
    size = 0
    for piece in pieces:
        block.append(piece)
        size += len(piece)
        if size >= 1 << 16:
            emit("".join(block))
            block, size = [], 0
    emit("".join(block))


def _write_in_place(shown: str, target: str, data: bytes) -> None:
    """Writes `data` to what `target` is (a FIFO, a device), without
    replacing it."""
    try:
        fd = os.open(target, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
        finally:
            os.close(fd)
    except OSError as e:
        raise Trouble(f"{shown}: cannot write: {e.strerror or e}") from None


def write_file(path: str, data: bytes, shown: str | None = None) -> None:
    """Replaces the file at `path` (through a symbolic link, the file it names)
    with `data` atomically: a temporary file in the same directory is written,
    synced and renamed over it. On any failure the temporary file is removed
    and the target is left as it was. Only a regular file is replaced: a FIFO,
    a device or a socket is written to as it is, never renamed over.
    Messages name the file `shown`, by default its path."""
    import stat
    import tempfile  # here: most runs write no file, and every run pays for its imports

    shown = name(path) if shown is None else shown
    target = os.path.realpath(path)
    directory, base = os.path.split(target)
    try:
        info = os.stat(target)
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    else:
        if not stat.S_ISREG(info.st_mode) and not stat.S_ISDIR(info.st_mode):
            _write_in_place(shown, target, data)
            return
        mode = info.st_mode & 0o7777
    try:
        fd, temp = tempfile.mkstemp(dir=directory, prefix=f".{base}.", suffix=".vext-tmp")
    except OSError as e:
        raise Trouble(f"{shown}: cannot write: {e.strerror or e}") from None
    try:
        with open(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, mode)
        os.replace(temp, target)
    except BaseException as e:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        if isinstance(e, OSError):
            raise Trouble(f"{shown}: cannot write: {e.strerror or e}") from None
        raise
    # The rename itself is durable once the directory is synced.
    with contextlib.suppress(OSError):
        dir_fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)


class Progress:
    """Shows "vext: merging... 2.1 s" on standard error while a run takes more
    than a second, when standard error is a terminal; clears it at the end."""

    def __init__(self, verb: str) -> None:
        self._verb = verb
        self._done = threading.Event()
        self._thread: threading.Thread | None = None
        stream = sys.stderr
        with contextlib.suppress(OSError, ValueError, AttributeError):
            if stream is not None and 2 not in closed and stream.isatty():
                self._thread = threading.Thread(target=self._show, args=(stream,), daemon=True)

    def __enter__(self) -> Progress:
        if self._thread:
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._done.set()
        if self._thread:
            self._thread.join()

    def _show(self, stream: Any) -> None:
        start = time.monotonic()
        if self._done.wait(1.0):
            return
        line = ""
        with contextlib.suppress(OSError, ValueError):
            while True:
                line = f"\rvext: {self._verb}... {time.monotonic() - start:.1f} s"
                stream.write(line)
                stream.flush()
                if self._done.wait(0.1):
                    break
            stream.write("\r" + " " * (len(line) - 1) + "\r")
            stream.flush()


def guard_standard_descriptors() -> None:
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.add(fd)
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
