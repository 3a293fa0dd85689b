"""One committed state of a collection: its segments, and a SQLite read
transaction on the catalog as of that state.

Each snapshot keeps its own connection with a read transaction open, so
the documents and column values it returns always belong to the segments it
searches, while a search that started on it runs to the end even if the
collection has moved on (the connection closes with the last reference to
the snapshot). Loading a newer state reuses every segment already loaded,
reloads only the deletion sets that grew, and reads only new segment files.
A file can vanish between reading the catalog and opening it when a writer
merges meanwhile; loading then starts over from the newer state, which
never names a removed file.
"""

from __future__ import annotations

import sqlite3
import threading
from collections.abc import Mapping
from typing import Any

from _vrim import Index

from . import catalog
from .segments import Segment, read_index


class Snapshot:
    """The segments of one generation, by ascending id, with the catalog as
    of that generation."""

    def __init__(self, generation: int, segments: tuple[Segment, ...],
                 connection: sqlite3.Connection | None) -> None:
        self.generation = generation
        self.segments = segments
        self.by_id = {segment.id: segment for segment in segments}
        self._connection = connection
        self._lock = threading.Lock()

    def query(self, sql: str, params: Any = ()) -> list[Any]:
        if self._connection is None:
            raise ValueError("the collection is closed")
        with self._lock:
            return self._connection.execute(sql, params).fetchall()

    def release(self) -> None:
        """Closes the connection, ending its read transaction."""
        with self._lock:
            connection, self._connection = self._connection, None
            if connection is not None:
                connection.close()

    def close(self) -> None:
        """Releases the connection and stops the checks of segment files
        still under way (the collection is closing)."""
        for segment in self.segments:
            if segment.verification is not None:
                segment.verification.cancel()
        self.release()

    def __del__(self) -> None:
        # A connection is only freed by the garbage collector (it refers to
        # itself through its statement cache): left to it, a replaced
        # state's read transaction would keep the write-ahead log from
        # being checkpointed, and the log's file from being removed.
        self.release()


EMPTY = Snapshot(-1, (), None)


def _load(connection: sqlite3.Connection, directory: str, language: str,
          previous: Snapshot, adopt: Mapping[str, Index]) -> Snapshot:
    current = catalog.generation(connection)
    rows = connection.execute(
        "SELECT id, file, sha256 FROM segments ORDER BY id").fetchall()
    # Deletions only grow while a segment lives (a merge replaces it), so
    # a loaded segment takes the new ones only.
    grown: dict[int, list[str]] = {}
    if previous.segments:
        for segment, ref in connection.execute(
                "SELECT segment, ref FROM deletions WHERE generation > ?",
                (previous.generation,)):
            grown.setdefault(segment, []).append(ref)
    segments = []
    for id, file, sha256 in rows:
        old = previous.by_id.get(id)
        # A segment id freed by a merge can be given again to a new file.
        if old is not None and old.file == file:
            new = grown.get(id)
            segments.append(old if new is None
                            else old.with_deleted(old.deleted | old.unverified.doc_set(new)))
            continue
        index = adopt.get(file)
        verification = None
        if index is None:
            index, verification = read_index(directory, file, sha256, language)
        deleted = index.doc_set(ref for (ref,) in connection.execute(
            "SELECT ref FROM deletions WHERE segment = ?", (id,)))
        segments.append(Segment(id, file, index, deleted, verification=verification))
    return Snapshot(current, tuple(segments), connection)


def load(directory: str, language: str, readonly: bool, previous: Snapshot,
         adopt: Mapping[str, Index]) -> Snapshot:
    """The newest committed state, on a new connection. `adopt` holds
    indexes a writer of this process has just written, by file name, so they
    are not read back from disk."""
    connection = catalog.connect(directory, readonly=readonly)
    missing_at = None
    try:
        while True:
            connection.execute("BEGIN")
            try:
                return _load(connection, directory, language, previous, adopt)
            except FileNotFoundError as error:
                # Retired by a newer state, unless the state has not moved:
                # then the catalog names a file that is gone.
                now = catalog.generation(connection)
                connection.execute("COMMIT")
                if now == missing_at:
                    raise FileNotFoundError(
                        f"{directory}: segment file {error.filename} named by "
                        "the catalog is missing") from None
                missing_at = now
    except BaseException:
        connection.close()
        raise
