"""Segment files: written whole and synced before the catalog names them,
read back with their SHA-256 checked before their first use, and removed
once the catalog no longer names them.

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


class Verification:
    """The check of one segment file's bytes against the SHA-256 the catalog
    recorded, run on a thread of its own (hashing releases the interpreter)
    from the moment the file is read, so opening does not wait for it.
    `check` waits for it; the segment's first use calls it."""

    _CHUNK = 1 << 22  # between chunks, a cancelled check stops

    def __init__(self, directory: str, name: str, data: bytes, sha256: str) -> None:
        self._message = (f"{directory}: segment file {name} is damaged (its "
                         "SHA-256 differs from the catalog's)")
        self._expected = sha256
        self._digest: str | None = None
        self._cancelled = False
        self._thread = threading.Thread(target=self._run, args=(data,),
                                        name="vrim-segment-check", daemon=True)
        self._thread.start()

    def _run(self, data: bytes) -> None:
        hasher = hashlib.sha256()
        view = memoryview(data)
        for start in range(0, len(view), self._CHUNK):
            if self._cancelled:
                return
            hasher.update(view[start:start + self._CHUNK])
        self._digest = hasher.hexdigest()

    def check(self) -> None:
        """Raises ValueError unless the bytes are those the catalog names."""
        self._thread.join()
        if self._digest is None and self._cancelled:
            raise ValueError("the collection is closed")
        if self._digest != self._expected:
            raise ValueError(self._message)

    def cancel(self) -> None:
        """Stop hashing soon: nothing will use the segment any more."""
        self._cancelled = True


def read_index(directory: str, name: str, sha256: str, language: str
               ) -> tuple[Index, Verification]:
    """Loads one segment file, with the check of its bytes against the
    catalog's SHA-256 under way (see `Verification`); FileNotFoundError when
    a newer state has retired it. The index format checks its structure
    while decoding, so an index is safe to decode before the check ends; a
    file that does not decode is reported as damaged when the check fails."""
    with open(os.path.join(directory, SEGMENTS, name), "rb") as f:
        data = f.read()
    verification = Verification(directory, name, data, sha256)
    try:
        index = Index.from_bytes(data, language)
    except ValueError:
        verification.check()
        raise
    return index, verification


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
    `deleted`, the `DocSet` of its documents that are no longer live.

    `index` waits for the segment's `Verification`, if any, and raises
    ValueError when the file was damaged, so no search, count, facet or
    merge ever uses bytes the catalog does not name; `unverified` is for
    mapping references to documents only."""

    def __init__(self, id: int, file: str, index: Index, deleted: Any,
                 columns: dict[str, Any] | None = None,
                 verification: Verification | None = None) -> None:
        self.id = id
        self.file = file
        self.unverified = index
        self.deleted = deleted
        self.live = ~deleted
        self.verification = verification
        # A segment's column values never change: an upsert always moves a
        # document to a new segment. So the cache outlives new deletions.
        self.columns: dict[str, Any] = {} if columns is None else columns

    @property
    def index(self) -> Index:
        verification = self.verification
        if verification is not None:
            verification.check()
            self.verification = None
        return self.unverified

    def with_deleted(self, deleted: Any) -> Segment:
        return Segment(self.id, self.file, self.unverified, deleted, self.columns,
                       self.verification)

    def column(self, name: str, values: Callable[[], dict[str, Any]]) -> Any:
        """The native column `name` of this segment, built from `values()`
        on first use."""
        column = self.columns.get(name)
        if column is None:
            column = self.columns[name] = self.index.column(values())
        return column
