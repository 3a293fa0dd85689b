"""Reading the files of a build: only regular files are opened, so a FIFO,
socket or device can neither hang a build nor be read by mistake, and
whatever cannot be read is named with the reason."""

from __future__ import annotations

import os
import stat
from collections.abc import Iterator

from .report import Report

# Files a directory source reads, by suffix.
TEXT_SUFFIXES = (".md", ".markdown", ".rst", ".txt", ".html", ".htm")
_SNIFF = 8192
_KINDS = [(stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
          (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device")]


class Unreadable(Exception):
    """Why a file is not read; str() is the reason."""


def _kind(mode: int) -> str:
    return next((name for test, name in _KINDS if test(mode)), "not a regular file")


def read_regular(path: str) -> bytes:
    """The bytes of a regular file (a link is followed). Raises Unreadable
    for a broken link, a missing or forbidden file and anything that is not
    a regular file, which is never opened."""
    try:
        mode = os.stat(path).st_mode
    except OSError as e:
        if isinstance(e, FileNotFoundError) and os.path.islink(path):
            raise Unreadable("broken link") from None
        raise Unreadable(f"cannot read: {e.strerror or e}") from None
    if not stat.S_ISREG(mode):
        raise Unreadable(f"not a regular file ({_kind(mode)})")
    try:
        # Non-blocking: if the path was swapped for a FIFO since, open
        # returns at once and fstat tells.
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0)
                     | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_BINARY", 0))
    except OSError as e:
        raise Unreadable(f"cannot read: {e.strerror or e}") from None
    with open(fd, "rb", closefd=True) as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            raise Unreadable("not a regular file")
        try:
            return f.read()
        except OSError as e:
            raise Unreadable(f"cannot read: {e.strerror or e}") from None


def looks_binary(data: bytes) -> bool:
    """Text files hold no NUL bytes (UTF-16 text starts with its BOM)."""
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        return False
    return b"\x00" in data[:_SNIFF]


def walk(root: str, report: Report) -> Iterator[str]:
    """The files under `root` with a text suffix, in a stable order; hidden
    entries are left out and folders that cannot be listed are reported."""
    def on_error(e: OSError) -> None:
        report.skip(str(e.filename), f"cannot read directory: {e.strerror or e}")

    for directory, subdirs, files in os.walk(root, onerror=on_error):
        subdirs[:] = sorted(d for d in subdirs if not d.startswith("."))
        for name in sorted(files):
            if not name.startswith(".") and name.lower().endswith(TEXT_SUFFIXES):
                yield os.path.join(directory, name)
