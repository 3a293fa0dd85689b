"""The writer: batches of upserts and deletions committed as segments, and
the merges that keep the segment count down.

A commit records everything in one SQLite transaction: the segment, the
documents, and a deletion in the older segment of every replaced or deleted
document. Meanwhile a thread builds the batch into an index and writes and
syncs its file (segment_build.py); the transaction commits only after that.
A crash before the commit leaves only an unnamed file, removed by the next
writer; after it, the commit is whole. Merges work the same way: the
merged file first, then one transaction swapping it for its sources, whose
files are removed only afterwards.
"""

from __future__ import annotations

import json
import math
import os
import sqlite3
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from _vrim import Index, IndexBuilder

from . import catalog
from .documents import Checker, iterate
from .lock import WriteLock
from .merge_policy import SegmentSize
from .segment_build import SegmentBuild
from .segments import remove_files, unnamed_files, write_file

if TYPE_CHECKING:
    from .collection import Collection

# A staged document: (JSON, the mapping, its column values); None: deleted.
Staged = tuple[str, dict[str, Any], list[Any]]


class Writer:
    """Changes to a collection, made inside ``with collection.writer():``.

    ``upsert`` and ``delete`` stage changes; leaving the block commits them
    as one transaction (``commit()`` does so earlier), an exception inside it
    discards them. Only one writer at a time holds a collection, across
    processes."""

    def __init__(self, collection: Collection, timeout: float | None,
                 merge: bool) -> None:
        self._collection = collection
        self._directory = collection.path
        self._timeout = timeout
        self._merge = merge
        self._lock = WriteLock(os.path.join(collection.path, catalog.LOCK))
        self._connection: sqlite3.Connection | None = None
        self._batch: dict[str, Staged | None] = {}
        self._entered = False
        settings = collection._settings
        self._checker = Checker(settings["ref_field"], settings["fields"],
                                settings["columns"])

    # -- the block --------------------------------------------------------

    def __enter__(self) -> Writer:
        if self._entered:
            raise RuntimeError("a writer is entered once; make a new one with "
                               "collection.writer()")
        self._entered = True
        self._lock.acquire(self._timeout)
        try:
            self._connection = self._collection._write_connection()
            self._remove_leftovers()
        except BaseException:
            self._close()
            raise
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        try:
            if exc_type is None:
                self.commit()
                if self._merge:
                    self.merge()
        finally:
            self._close()

    def _close(self) -> None:
        self._batch = {}
        connection, self._connection = self._connection, None
        try:
            if connection is not None and connection.in_transaction:
                connection.execute("ROLLBACK")
        finally:
            self._lock.release()

    def _open(self) -> sqlite3.Connection:
        if self._connection is None:
            raise RuntimeError("the writer is used outside its with block")
        return self._connection

    # -- staging ----------------------------------------------------------

    def upsert(self, docs: Any) -> int:
        """Stage documents: a mapping, an iterable of mappings or a pandas
        DataFrame. A document replaces the one with the same reference.
        Every document is checked before any is staged; returns how many."""
        self._open()
        staged = [self._checker.check(doc, number)
                  for number, doc in enumerate(iterate(docs))]
        for ref, text, plain, values in staged:
            self._batch.pop(ref, None)
            self._batch[ref] = (text, plain, values)
        return len(staged)

    def delete(self, refs: str | Iterable[str]) -> None:
        """Stage the removal of documents by reference (one str, or an
        iterable of them); references the collection lacks are ignored."""
        self._open()
        refs = [refs] if isinstance(refs, str) else list(refs)
        for ref in refs:
            if not isinstance(ref, str):
                raise TypeError(f"a reference is a str, not {type(ref).__name__}")
        for ref in refs:
            self._batch.pop(ref, None)
            self._batch[ref] = None

    @property
    def staged(self) -> int:
        """Upserts and deletions waiting for the commit."""
        return len(self._batch)

    # -- committing -------------------------------------------------------

    def commit(self) -> None:
        """Commit what is staged, as one transaction, and show it to this
        process's collection."""
        connection = self._open()
        batch, self._batch = self._batch, {}
        if not batch:
            return
        upserts = [(ref, entry) for ref, entry in batch.items() if entry is not None]
        # The segment is built and written while the transaction records the
        # documents; the transaction commits only once the file is synced.
        built = (SegmentBuild(self._directory,
                              self._builder([plain for _, (_, plain, _) in upserts]))
                 if upserts else None)
        index = None
        try:
            connection.execute("BEGIN IMMEDIATE")
            generation = catalog.generation(connection) + 1
            previous = self._previous(connection, batch)
            segment = None
            if built is not None:
                segment = connection.execute(
                    "INSERT INTO segments (file, sha256, documents, generation) "
                    "VALUES (?, '', ?, ?)",
                    (built.file, len(upserts), generation)).lastrowid
            elif not previous:
                connection.execute("ROLLBACK")
                return
            connection.executemany(
                "INSERT INTO deletions VALUES (?, ?, ?)",
                ((old[0], ref, generation) for ref, old in previous.items()))
            connection.executemany(
                "DELETE FROM documents WHERE ref = ?",
                ((ref,) for ref, entry in batch.items()
                 if entry is None and ref in previous))
            self._store(connection, segment, upserts, previous)
            if built is not None:
                index, digest = built.result()
                connection.execute("UPDATE segments SET sha256 = ? WHERE id = ?",
                                   (digest, segment))
            connection.execute("UPDATE state SET generation = ?", (generation,))
            connection.execute("COMMIT")
        except BaseException:
            self._abandon(connection, built.file if built else "", built)
            raise
        self._collection._committed(
            {built.file: index} if built is not None and index is not None else {})

    def _previous(self, connection: sqlite3.Connection,
                  batch: dict[str, Staged | None]) -> dict[str, tuple[Any, ...]]:
        """The batch's references the collection holds: their segment and
        column values, by reference."""
        names = "".join(f", {catalog.column_sql(i)}"
                        for i in range(len(self._checker.columns)))
        return {row[0]: row[1:] for row in connection.execute(
            f"SELECT ref, segment{names} FROM documents WHERE ref IN "
            "(SELECT value FROM json_each(?))",
            (json.dumps(list(batch), ensure_ascii=False),))}

    def _store(self, connection: sqlite3.Connection, segment: int | None,
               upserts: list[tuple[str, Staged]],
               previous: dict[str, tuple[Any, ...]]) -> None:
        """Writes the upserted documents. A replaced document keeps its row
        and sets only the columns whose values changed, so the index of an
        unchanged column is not touched: each index entry rewritten is a
        page of the write-ahead log."""
        columns = len(self._checker.columns)
        inserts = []
        updates: dict[tuple[int, ...], list[tuple[Any, ...]]] = {}
        for ref, (text, _, values) in upserts:
            old = previous.get(ref)
            if old is None:
                inserts.append((ref, segment, text, *values))
                continue
            changed = tuple(i for i in range(columns)
                            if not _same(values[i], old[1 + i]))
            updates.setdefault(changed, []).append(
                (segment, text, *(values[i] for i in changed), ref))
        names = ["segment", "doc"] + [catalog.column_sql(i) for i in range(columns)]
        connection.executemany(
            f"INSERT INTO documents (ref, {', '.join(names)}) VALUES (?"
            + ", ?" * len(names) + ")", inserts)
        for changed, rows in updates.items():
            sets = ["segment = ?", "doc = ?"] + [
                f"{catalog.column_sql(i)} = ?" for i in changed]
            connection.executemany(
                f"UPDATE documents SET {', '.join(sets)} WHERE ref = ?", rows)

    def _abandon(self, connection: sqlite3.Connection, file: str,
                 built: SegmentBuild | None = None) -> None:
        """After a failed transaction: roll back, and remove the new file
        (once its build thread is done) unless the transaction did name it
        (an interrupt can arrive just after COMMIT has returned)."""
        if built is not None:
            built.wait()
        if connection.in_transaction:
            connection.execute("ROLLBACK")
        if file and connection.execute(
                "SELECT 1 FROM segments WHERE file = ?", (file,)).fetchone() is None:
            remove_files(self._directory, [file])

    def _builder(self, docs: list[dict[str, Any]]) -> IndexBuilder:
        """A builder holding `docs`, ready to build."""
        settings = self._collection._settings
        builder = IndexBuilder(settings["language"], ref_field=settings["ref_field"],
                               k1=settings["k1"], b=settings["b"])
        for name, boost in settings["fields"].items():
            builder.field(name, boost)
        builder.add_many(docs)
        return builder

    def _remove_leftovers(self) -> None:
        """Files of commits and merges that did not finish, and retired
        segment files not yet removed."""
        connection = self._open()
        named = {file for (file,) in connection.execute("SELECT file FROM segments")}
        kept = remove_files(self._directory, unnamed_files(self._directory, named))
        connection.execute(
            "DELETE FROM retired WHERE file NOT IN (SELECT value FROM json_each(?))",
            (json.dumps(kept),))

    # -- merging ----------------------------------------------------------

    def sizes(self) -> list[SegmentSize]:
        """Every segment's document and live document count."""
        return [SegmentSize(id, documents, documents - deleted)
                for id, documents, deleted in self._open().execute(
                    "SELECT id, documents, (SELECT count(*) FROM deletions "
                    "WHERE segment = segments.id) FROM segments ORDER BY id")]

    def merge(self) -> int:
        """Merge segments as the collection's merge policy picks them, until
        it picks none; returns how many merges ran."""
        policy = self._collection.merge_policy
        merges = 0
        while (group := policy.pick(self.sizes())) is not None:
            self.merge_segments(group)
            merges += 1
        return merges

    def optimize(self) -> None:
        """Merge every segment into one, leaving out deleted documents."""
        sizes = self.sizes()
        if len(sizes) > 1 or any(s.live < s.documents for s in sizes):
            self.merge_segments([s.id for s in sizes])

    def merge_segments(self, group: list[int]) -> None:
        """Replace the segments `group` by one holding their live documents."""
        from _vrim import merge

        connection = self._open()
        self.commit()  # staged changes first: they may delete from the group
        self._collection.refresh()  # another process may have written before
        snapshot = self._collection._snapshot
        group = sorted(group)
        members = json.dumps(group)
        # The snapshot is the catalog's newest state (this writer holds the
        # lock): a segment's live documents are its own less its deletions.
        live: set[str] = set()
        deleted: set[str] = set()
        for id in group:
            segment = snapshot.by_id[id]
            live.update(segment.live)
            deleted.update(segment.deleted)
        live_refs = json.dumps(sorted(live), ensure_ascii=False)
        merged: Index | None = None
        file = digest = ""
        if live:
            merged = merge([snapshot.by_id[id].index for id in group],
                           drop=sorted(deleted - live))
            if merged.document_count != len(live):
                raise RuntimeError(
                    f"merging segments {group} gave {merged.document_count} "
                    f"documents where the catalog has {len(live)} live")
            file, digest = write_file(self._directory, merged.to_bytes())
        try:
            connection.execute("BEGIN IMMEDIATE")
            generation = catalog.generation(connection) + 1
            target = None
            if merged is not None:
                target = connection.execute(
                    "INSERT INTO segments (file, sha256, documents, generation) "
                    "VALUES (?, ?, ?, ?)",
                    (file, digest, merged.document_count, generation)).lastrowid
            for statement in (
                    "UPDATE documents SET segment = :target WHERE ref IN "
                    "(SELECT value FROM json_each(:live))",
                    "DELETE FROM deletions WHERE segment IN "
                    "(SELECT value FROM json_each(:group))",
                    "INSERT INTO retired SELECT file FROM segments WHERE id IN "
                    "(SELECT value FROM json_each(:group))",
                    "DELETE FROM segments WHERE id IN "
                    "(SELECT value FROM json_each(:group))"):
                connection.execute(statement, {"target": target, "group": members,
                                               "live": live_refs})
            connection.execute("UPDATE state SET generation = ?", (generation,))
            connection.execute("COMMIT")
        except BaseException:
            self._abandon(connection, file)
            raise
        self._collection._committed({file: merged} if merged is not None else {})
        self._remove_leftovers()


def _same(new: Any, old: Any) -> bool:
    """Whether a column value equals the one stored, to the type and the
    sign of a zero (0.0 and -0.0 are equal but not the same value)."""
    return type(new) is type(old) and new == old and (
        not isinstance(new, float) or math.copysign(1.0, new) == math.copysign(1.0, old))
