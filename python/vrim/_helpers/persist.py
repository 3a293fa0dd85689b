"""Saving and loading indexes by path, and pickling them.

An `Index` pickles as its binary form plus its language, so a pickle is as
portable as a saved file and is checked the same way when it is loaded.
"""

from __future__ import annotations

import copyreg
import os
from collections.abc import Callable

from _vrim import Index

__all__ = ["load", "save"]

_BINARY: int = getattr(os, "O_BINARY", 0)  # no newline translation on Windows


def _index_from_bytes(data: bytes, language: str) -> Index:
    return Index.from_bytes(data, language)


def _reduce_index(index: Index) -> tuple[Callable[[bytes, str], Index], tuple[bytes, str]]:
    return _index_from_bytes, (index.to_bytes(), index.language)


copyreg.pickle(Index, _reduce_index)


def write_atomically(path: str | os.PathLike[str], data: bytes) -> None:
    """Writes `data` to `path` through a temporary file in the same directory
    and a rename, so `path` holds either its old content or all of `data`.
    The new file gets the usual permissions (0o666 less the umask)."""
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    while True:
        tmp = os.path.join(directory, "." + os.path.basename(path) + "."
                           + os.urandom(6).hex() + ".tmp")
        try:
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _BINARY, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def save(index: Index, path: str | os.PathLike[str], *, positions: bool = True) -> None:
    """Write `index` to the file `path` atomically: a reader sees the old file
    or the new one, never a partial write. `positions` as in `to_bytes`."""
    if not isinstance(index, Index):
        raise TypeError(f"save() expects an Index, got {type(index).__name__}")
    write_atomically(path, index.to_bytes(positions=positions))


def load(path: str | os.PathLike[str], language: str | None = None) -> Index:
    """Read an index saved by `save` (or any `to_bytes` output) from `path`.

    `language`, when given, must match the index's, as in `Index.from_bytes`.
    """
    with open(path, "rb") as f:
        data = f.read()
    return Index.from_bytes(data, language)
