"""Segment files: written whole and synced before the catalog names them,
read back with their SHA-256 checked, and removed once the catalog no
longer names them.

A segment is an ordinary index file; a loaded `Segment` pairs the index with
the set of its documents that are no longer live (deleted, or replaced by a
newer version in a later segment) and caches its metadata columns.
"""

from __future__ import annotations

import hashlib
import os
import threading
from collections.abc import Callable, Iterable
from typing import Any

from _vrim import Index

from .catalog import SEGMENTS

_BINARY: int = getattr(os, "O_BINARY", 0)


def sync_directory(directory: str) -> None:
    """Makes the directory's entries (a created or removed file) durable.
    Windows has no directory handles to sync; NTFS journals them."""
    if os.name == "nt":
        return
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def reserve_file(directory: str) -> str:
    """Creates a new, empty segment file under a fresh random name and
    returns the name. A crash leaves it unnamed by the catalog: a leftover."""
    folder = os.path.join(directory, SEGMENTS)
    while True:
        name = os.urandom(8).hex() + ".vrim"
        try:
            os.close(os.open(os.path.join(folder, name),
                             os.O_WRONLY | os.O_CREAT | os.O_EXCL | _BINARY, 0o666))
            return name
        except FileExistsError:
            continue


def fill_file(directory: str, name: str, data: bytes) -> str:
    """Writes `data` into the reserved segment file `name` and syncs it and
    its directory entry; returns its SHA-256. Removes the file on failure."""
    folder = os.path.join(directory, SEGMENTS)
    try:
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        sync_directory(folder)
    except BaseException:
        remove_files(directory, [name])
        raise
    return hashlib.sha256(data).hexdigest()


def write_file(directory: str, data: bytes) -> tuple[str, str]:
    """Writes `data` as a new segment file, synced with its directory entry;
    returns (file name, SHA-256)."""
    name = reserve_file(directory)
    return name, fill_file(directory, name, data)


def read_index(directory: str, name: str, sha256: str, language: str) -> Index:
    """Loads one segment file, refusing one whose bytes are not those the
    catalog recorded. FileNotFoundError when a newer state has retired it.

    The digest is computed on another thread while the index is decoded
    (both release the GIL), so checking costs little time on two cores."""
    with open(os.path.join(directory, SEGMENTS, name), "rb") as f:
        data = f.read()
    digest: list[str] = []
    hasher = threading.Thread(
        target=lambda: digest.append(hashlib.sha256(data).hexdigest()))
    hasher.start()
    try:
        index = Index.from_bytes(data, language)
    except ValueError as error:
        failure: ValueError | None = error
    else:
        failure = None
    finally:
        hasher.join()
    if digest != [sha256]:
        raise ValueError(f"{directory}: segment file {name} is damaged (its "
                         "SHA-256 differs from the catalog's)")
    if failure is not None:
        raise failure
    return index


def remove_files(directory: str, names: Iterable[str]) -> list[str]:
    """Removes segment files, best effort; returns the names still there
    (Windows refuses to remove a file another process has open)."""
    kept = []
    for name in names:
        try:
            os.remove(os.path.join(directory, SEGMENTS, name))
        except FileNotFoundError:
            pass
        except OSError:
            kept.append(name)
    return kept


def unnamed_files(directory: str, named: set[str]) -> list[str]:
    """The files of the segments folder that the catalog does not name."""
    try:
        entries = os.listdir(os.path.join(directory, SEGMENTS))
    except FileNotFoundError:
        return []
    return sorted(entry for entry in entries if entry not in named)


class Segment:
    """One loaded segment of a snapshot: `index`, the catalog `id`, and
    `deleted`, the `DocSet` of its documents that are no longer live."""

    def __init__(self, id: int, file: str, index: Index, deleted: Any,
                 columns: dict[str, Any] | None = None) -> None:
        self.id = id
        self.file = file
        self.index = index
        self.deleted = deleted
        self.live = ~deleted
        # A segment's column values never change: an upsert always moves a
        # document to a new segment. So the cache outlives new deletions.
        self.columns: dict[str, Any] = {} if columns is None else columns

    def with_deleted(self, deleted: Any) -> Segment:
        return Segment(self.id, self.file, self.index, deleted, self.columns)

    def column(self, name: str, values: Callable[[], dict[str, Any]]) -> Any:
        """The native column `name` of this segment, built from `values()`
        on first use."""
        column = self.columns.get(name)
        if column is None:
            column = self.columns[name] = self.index.column(values())
        return column
